// The history database read back at start, as a crash or a bad disk may leave
// it: the input is the database file. The host opens it (or refuses it and
// keeps history in memory), restores the standing alarms, replays the newest
// record of each unit, and then writes one history record, one alarm raised
// and cleared, and one snapshot. What was written must read back, the stored
// standing alarms must match the host's, and no alarm is raised twice or
// cleared without standing. The input's last byte makes the first 0 to 3
// writes fail, as a full disk would: what waited must then be written too.
// Two minutes later the periodic work runs (minutes sealed, retention, a file
// of the first layout converted): the record still reads back, and the API's
// reader gets through whatever the file holds. The MQTT outbox kept in the
// same file is opened, read, added to and emptied.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include "fuzz/FuzzSupport.h"
#include "runtime/site/Host.h"
#include "runtime/store/StoreReader.h"
#include "service/mqtt/Outbox.h"

namespace {

// The units' data ids, as in the seed database.
constexpr std::uint32_t kAc = 1001;
constexpr std::uint32_t kDc = 1002;

const std::string& db_path() {
    static const std::string path = [] {
        // In memory where there is a tmpfs: the disk's syncs would set the pace.
        char shm[] = "/dev/shm/ravo3-store-fuzz-XXXXXX";
        char tmp[] = "/tmp/ravo3-store-fuzz-XXXXXX";
        const char* dir = ::mkdtemp(shm);
        if (!dir) dir = ::mkdtemp(tmp);
        if (!dir) fuzz_support::fail("no temporary folder");
        return std::string(dir) + "/history.db";
    }();
    return path;
}

void remove_db() {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        std::remove((db_path() + suffix).c_str());
    }
}

smd::SiteConfig site() {
    smd::SiteConfig s;
    s.history_db = db_path();
    s.history_retention = 64;
    s.event_retention = 64;
    smd::DeviceConfig d;
    d.name = "power-room";
    d.port = "/nonexistent/tty";
    d.driver = RAVO3_PLUGIN_PATH;
    d.data_id = 1000;
    d.settings["data_id"] = 1000;
    d.settings["acSetting"][0]["data_id"] = kAc;
    d.settings["dcSetting"][0]["data_id"] = kDc;
    d.settings["rcSetting"] = Json::Value(Json::objectValue);
    s.devices.push_back(d);
    return s;
}

using Key = std::tuple<std::uint32_t, std::string, std::string, std::string>;

std::set<Key> keys(const std::vector<smd::ActiveAlarm>& alarms) {
    std::set<Key> out;
    for (const auto& a : alarms) out.insert(Key{a.data_id, a.device_type, a.key, a.detail});
    return out;
}

void drain(smd::EventQueue& q, fuzz_support::AlarmLedger& ledger) {
    smd::HostEvent e;
    while (q.TryPop(e)) {
        const bool raised = e.kind == smd::HostEvent::Kind::AlarmRaised;
        if (!raised && e.kind != smd::HostEvent::Kind::AlarmCleared) continue;
        if (e.initial) {
            ledger.Stand(e.alarm);
        } else {
            ledger.On(raised, e.alarm);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool init = [] {
        fuzz_support::silence_stdout();
        // Each host loads and unloads the driver; held here, it stays mapped,
        // as the fuzzer's coverage counters in it must.
        if (!::dlopen(RAVO3_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) fuzz_support::fail(::dlerror());
        return true;
    }();
    (void)init;
    remove_db();
    if (size > 0) {
        std::ofstream out(db_path(), std::ios::binary);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    fuzz_support::Clocks& clocks = fuzz_support::Clocks::Install();
    smd::HostOptions options;
    options.start_lines = false;
    options.log = [](const std::string&) {};
    int failing_writes = size > 0 ? data[size - 1] % 4 : 0;
    options.store_fault = [&failing_writes](const char* step) {
        if (std::string(step) != "write" || failing_writes == 0) return 0;
        --failing_writes;
        return 13;  // SQLITE_FULL
    };
    std::string error;
    {
        smd::Host host(options);
        if (!host.Start(site(), error)) fuzz_support::fail("host did not start: " + error);
        auto queue = host.Events().Subscribe();
        fuzz_support::AlarmLedger ledger;
        drain(*queue, ledger);
        auto controller = host.Controller();

        smd::HistoryRecord record;
        record.data_id = kAc;
        record.device_type = "ravo3-ac";
        record.unit_type = 5159;
        record.time = smd::local_time();
        record.bytes.assign(sizeof(tele_c_ravo3_ac) + sizeof(tele_c_ravo3_ac_channel), 0x5A);
        record.bytes[offsetof(tele_c_ravo3_ac, channel_count)] = 1;
        controller->SaveHistory(record);

        rule_value rule;
        rule.key = "AC_0";
        rule.code = "06015";
        rule.name = "交流输入停电";
        rule.detail = "fuzz";
        rule.level = 1;
        rule.active = 1;
        controller->EvaluateRules(kAc, "ravo3-ac", {rule});
        const std::set<Key> raised = keys(controller->ActiveAlarms());
        rule.active = 0;
        controller->EvaluateRules(kAc, "ravo3-ac", {rule});

        smd::Snapshot snap;
        snap.data_id = kDc;
        snap.device_type = "ravo3-dc";
        snap.unit_type = 5161;
        snap.time = record.time;
        snap.bytes.assign(sizeof(tele_c_ravo3_dc), 0xA5);
        controller->PublishSnapshot(snap);
        controller->DrainWork();
        drain(*queue, ledger);

        if (raised.count(Key{kAc, "ravo3-ac", "AC_0", "fuzz"}) == 0) {
            fuzz_support::fail("an alarm point that holds does not stand");
        }
        auto store = host.Store();
        if (store) store->Sync();
        if (store && !store->ReadOnly() && store->Waiting() == 0) {
            // Every write went through, at once or after the faults: each
            // must read back as written.
            auto latest = store->Latest(kAc, "ravo3-ac");
            if (!latest || latest->bytes != record.bytes) {
                fuzz_support::fail("history record written but not read back");
            }
            auto back = store->LoadSnapshot(kDc, "ravo3-dc");
            if (!back || back->bytes != snap.bytes) {
                fuzz_support::fail("snapshot written but not read back");
            }
            if (keys(store->LoadActive()) != keys(controller->ActiveAlarms())) {
                fuzz_support::fail("stored standing alarms differ from the host's");
            }
            (void)store->Events(16);
            clocks.Advance(120000);
            store->Maintain();
            latest = store->Latest(kAc, "ravo3-ac");
            if (!latest || latest->bytes != record.bytes) {
                fuzz_support::fail("history record not read back once its minute was sealed");
            }
        }
        std::string why;
        if (auto reader = smd::StoreReader::Open(db_path(), &why)) {
            for (std::uint32_t id : {1000u, kAc, kDc}) {
                std::vector<smd::StoredRecord> records;
                std::vector<smd::StoredMinute> minutes;
                bool summarised = false;
                boost::posix_time::ptime oldest;
                (void)reader->History(id, {}, {}, 0, 64, records, why);
                (void)reader->History(id, record.time - boost::posix_time::hours(1), record.time, 1,
                                      64, records, why);
                (void)reader->Minutes(
                    id, record.time - boost::posix_time::hours(1), record.time,
                    [&](const smd::StoredMinute& m) { minutes.push_back(m); }, records, summarised,
                    why);
                (void)reader->OldestRecord(id, oldest, why);
            }
            std::vector<smd::StoredEvent> events;
            (void)reader->Events({}, 0, 64, events, why);
        }
        host.Stop();
    }
    std::string why;
    if (auto outbox = smd::mqtt::SqliteOutbox::Open(db_path(), 8, why)) {
        for (const auto& e : outbox->After(0, 16)) outbox->Remove(e.id, why);
        if (outbox->Add("ravo3/fuzz", "{}", why)) {
            const auto added = outbox->After(0, 100000);
            if (added.empty() || added.back().topic != "ravo3/fuzz") {
                fuzz_support::fail("outbox entry added but not read back");
            }
        }
        (void)outbox->Size();
    } else if (why.empty()) {
        fuzz_support::fail("outbox refused without a message");
    }
    remove_db();
    return 0;
}
