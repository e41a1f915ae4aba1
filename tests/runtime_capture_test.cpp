// The byte formats of lines as sites have them: capture files (whole, cut off
// by a crash, damaged), the Telnet side of an rfc2217:// line, and an alarm
// event's answers kept beside it in the history database.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "runtime/capture/Capture.h"
#include "runtime/store/ProvenanceCodec.h"
#include "runtime/store/SqliteStore.h"
#include "runtime/line/Telnet.h"
#include "tests/runtime_fixture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const Bytes& b) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

}  // namespace

TEST(Capture, ReadsWholeRecordsIgnoresACutEndAndRefusesADamagedMiddle) {
    rt_test::TempDir dir;
    const std::string path = dir.File("c.cap");
    {
        std::string error;
        auto w = smd::capture::Writer::Open(path, R"({"devices": []})", error);
        ASSERT_TRUE(w) << error;
        const std::uint16_t line = w->LineOf("/dev/ttyUSB0");
        const Bytes cmd = {'~', '2', '0', 0xFF, '\r'};
        w->Add(smd::capture::Kind::Opened, line, nullptr, 0);
        w->Add(smd::capture::Kind::Sent, line, cmd.data(), cmd.size());
        w->Add(smd::capture::Kind::Received, line, cmd.data(), 3);
    }
    const Bytes whole = file_bytes(path);
    struct Case {
        const char* name;
        std::size_t keep;  // bytes of the file kept (a crash), or all
        int flip;          // a byte changed at this offset from the end, or -1
        bool ok;
        std::size_t records;
        bool cut;
    };
    const std::size_t last =
        8 + 1 + 2 + 8 + 3;  // the last record: length, kind, line, time, 3 bytes
    const Case cases[] = {
        {"whole", whole.size(), -1, true, 3, false},
        {"last record cut in its CRC", whole.size() - 2, -1, true, 2, true},
        {"last record cut after its length", whole.size() - last + 4, -1, true, 2, true},
        {"last record's checksum wrong", whole.size(), 1, true, 2, true},
        {"header only", 12, -1, true, 0, false},
        {"header cut", 10, -1, false, 0, false},
        {"a damaged record with one after it", whole.size(), static_cast<int>(last + 3), false, 0,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b(whole.begin(), whole.begin() + static_cast<long>(c.keep));
        if (c.flip >= 0) b[b.size() - 1 - static_cast<std::size_t>(c.flip)] ^= 0x5A;
        smd::capture::File f;
        std::string error;
        ASSERT_EQ(smd::capture::Parse(b.data(), b.size(), f, error), c.ok) << error;
        if (!c.ok) continue;
        std::size_t n = 0;
        for (const auto& s : f.sessions) n += s.records.size();
        EXPECT_EQ(n, c.records);
        EXPECT_EQ(f.cut_tail, c.cut);
    }
    // A host started again after a crash cuts the broken end off and appends.
    write_bytes(path, Bytes(whole.begin(), whole.end() - 2));
    {
        std::string error;
        auto w = smd::capture::Writer::Open(path, "", error);
        ASSERT_TRUE(w) << error;
        w->Add(smd::capture::Kind::Opened, w->LineOf("tcp://box:4001"), nullptr, 0);
    }
    smd::capture::File f;
    std::string error;
    ASSERT_TRUE(smd::capture::Load(path, f, error)) << error;
    EXPECT_FALSE(f.cut_tail);
    ASSERT_EQ(f.sessions.size(), 2u);
    EXPECT_EQ(f.sessions[0].records.size(), 2u);
    EXPECT_EQ(f.sessions[1].lines, std::vector<std::string>{"tcp://box:4001"});
    // Not a capture: refused, and left as it was.
    const std::string other = dir.File("notes.txt");
    write_bytes(other, Bytes{'h', 'i', '\n'});
    EXPECT_FALSE(smd::capture::Writer::Open(other, "", error));
    EXPECT_NE(error.find("not a capture file"), std::string::npos) << error;
    EXPECT_EQ(file_bytes(other), (Bytes{'h', 'i', '\n'}));
}

TEST(Telnet, DataPassesWithIacDoubledAndNegotiationIsAnsweredOnce) {
    using namespace smd::telnet;
    struct Case {
        const char* name;
        Bytes in;
        Bytes data;
        Bytes reply;
        bool accepted;
        std::uint32_t baud;
    };
    const Case cases[] = {
        {"plain data", {'~', '2', '0'}, {'~', '2', '0'}, {}, false, 0},
        {"0xFF doubled is data", {1, kIac, kIac, 2}, {1, 0xFF, 2}, {}, false, 0},
        {"COM port control agreed", {kIac, kDo, kComPort, 'x'}, {'x'}, {}, true, 0},
        {"an option we do not know is declined",
         {kIac, kDo, 24, kIac, kWill, 1},
         {},
         {kIac, kWont, 24, kIac, kDont, 1},
         false,
         0},
        {"the server confirms 9600",
         {kIac, kSb, kComPort, 101, 0, 0, 0x25, 0x80, kIac, kSe, 'a'},
         {'a'},
         {},
         false,
         9600},
        {"a subnegotiation cut by another command",
         {kIac, kSb, kComPort, 101, kIac, kDo, 'b'},
         {'b'},
         {},
         false,
         0},
        {"IAC at the end waits for its next byte", {'c', kIac}, {'c'}, {}, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d;
        Bytes data, reply;
        d.Feed(c.in.data(), c.in.size(), data, reply);
        EXPECT_EQ(data, c.data);
        EXPECT_EQ(reply, c.reply);
        EXPECT_EQ(d.ComPortAccepted(), c.accepted);
        EXPECT_EQ(d.ConfirmedBaud(), c.baud);
    }
    // What the client asks for: 9600 8N1, no flow control, each in its own SB.
    const Bytes s = LineSettings(9600, EnumParity::None);
    const Bytes baud = {kIac, kSb, kComPort, kSetBaud, 0, 0, 0x25, 0x80, kIac, kSe};
    EXPECT_TRUE(std::search(s.begin(), s.end(), baud.begin(), baud.end()) != s.end());
    const Bytes parity = {kIac, kSb, kComPort, kSetParity, 1, kIac, kSe};
    EXPECT_TRUE(std::search(s.begin(), s.end(), parity.begin(), parity.end()) != s.end());
}

TEST(Provenance, AnEventsAnswersAreKeptBesideItAndGoWithIt) {
    rt_test::TempDir dir;
    smd::SqliteStore::Options o;
    o.event_retention = 2;
    std::string error;
    auto store = smd::SqliteStore::Open(dir.File("h.db"), o, &error);
    ASSERT_TRUE(store) << error;
    auto event = [](int n, bool with) {
        smd::AlarmEvent e;
        e.time = boost::posix_time::time_from_string("2026-12-08 10:00:0" + std::to_string(n));
        e.alarm.key = "k" + std::to_string(n);
        if (with) {
            auto p = std::make_shared<smd::Provenance>();
            p->cycle = static_cast<std::uint64_t>(n);
            smd::AnswerRef a;
            a.cid1 = 0x42;
            a.cid2 = 0x44;
            a.time = e.time;
            a.bytes = {'~', '2', '0', static_cast<unsigned char>('0' + n), '\r'};
            p->answers.push_back(a);
            e.provenance = p;
        }
        return e;
    };
    store->Record(event(1, true));
    store->Record(event(2, false));
    store->Record(event(3, true));
    store->Flush();
    const auto events = store->Events(10);
    ASSERT_EQ(events.size(), 2u);  // the oldest went, and its answers with it
    EXPECT_FALSE(events[0].provenance);
    ASSERT_TRUE(events[1].provenance);
    EXPECT_EQ(events[1].provenance->cycle, 3u);
    ASSERT_EQ(events[1].provenance->answers.size(), 1u);
    EXPECT_EQ(smd::command_text(events[1].provenance->answers[0]), "42/44");
    EXPECT_EQ(smd::hex_text(events[1].provenance->answers[0].bytes), "7E3230330D");
    // Stored bytes that are no answer list are refused whole.
    std::vector<smd::AnswerRef> out;
    const Bytes cut = {0x42, 0x44, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, '~'};
    EXPECT_FALSE(smd::DecodeAnswers(cut.data(), cut.size(), out));
    EXPECT_TRUE(out.empty());
}
