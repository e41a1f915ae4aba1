#include "sim/Scenario.h"

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace sim {

ScenarioError::ScenarioError(std::string key, std::string problem, const std::string& where)
    : std::runtime_error((where.empty() ? "" : where + ": ") +
                         (key.empty() ? problem : "\"" + key + "\": " + problem)),
      key_(std::move(key)),
      problem_(std::move(problem)) {}

float Value::At(std::uint64_t cycle) const {
    if (drift == 0.0f || period == 0) return base;
    const double phase = 2.0 * M_PI * static_cast<double>(cycle % period) / period;
    return static_cast<float>(base + drift * std::sin(phase));
}

const char* fault_name(FaultKind k) {
    switch (k) {
        case FaultKind::Drop:
            return "drop";
        case FaultKind::CorruptChecksum:
            return "corrupt_checksum";
        case FaultKind::Truncate:
            return "truncate";
        case FaultKind::Garbage:
            return "garbage";
        case FaultKind::Delay:
            return "delay";
        case FaultKind::Duplicate:
            return "duplicate";
        case FaultKind::Silence:
            return "silence";
    }
    return "fault";
}

void SetModel(Scenario& s, const std::string& model, const std::string& key) {
    if (model.size() > kModelBytes) {
        throw ScenarioError(key, "the model text has " + std::to_string(model.size()) +
                                     " bytes, at most 20 fit the answer");
    }
    s.model = model;
}

namespace {

// A JSON object whose keys are taken one by one; Done() rejects whatever
// was not taken, so that a misspelt key is an error and not silently ignored.
// Keys beginning with "_" are comments.
class Obj {
  public:
    Obj(const Json::Value& v, std::string path) : v_(v), path_(std::move(path)) {
        if (!v_.isObject())
            throw ScenarioError(path_.empty() ? "(top)" : path_, "expected an object");
    }
    bool Has(const std::string& k) const { return v_.isMember(k); }
    const Json::Value& Get(const std::string& k) {
        used_.insert(k);
        return v_[k];
    }
    std::string Key(const std::string& k) const { return path_.empty() ? k : path_ + "." + k; }
    void Done() const {
        for (const auto& k : v_.getMemberNames()) {
            if (!k.empty() && k[0] == '_') continue;
            if (!used_.count(k)) throw ScenarioError(Key(k), "unknown key");
        }
    }

  private:
    const Json::Value& v_;
    std::string path_;
    std::set<std::string> used_;
};

std::string Index(const std::string& key, unsigned i) {
    return key + "[" + std::to_string(i) + "]";
}

std::int64_t Integer(const Json::Value& v, const std::string& key, std::int64_t lo,
                     std::int64_t hi) {
    if (!v.isIntegral() || v.asLargestInt() < lo || v.asLargestInt() > hi) {
        throw ScenarioError(
            key, "expected an integer " + std::to_string(lo) + ".." + std::to_string(hi));
    }
    return v.asLargestInt();
}

std::uint8_t Byte(const Json::Value& v, const std::string& key) {
    return static_cast<std::uint8_t>(Integer(v, key, 0, 255));
}

double Number(const Json::Value& v, const std::string& key) {
    if (!v.isNumeric()) throw ScenarioError(key, "expected a number");
    return v.asDouble();
}

// A number, null (not available) or {"value", "drift", "period"}.
Value ParseValue(const Json::Value& v, const std::string& key) {
    if (v.isNull()) return Value::NotAvailable();
    if (v.isNumeric()) return Value::Of(static_cast<float>(v.asDouble()));
    if (!v.isObject()) {
        throw ScenarioError(key, "expected a number, null or {\"value\", \"drift\", \"period\"}");
    }
    Obj o(v, key);
    Value out;
    if (!o.Has("value")) throw ScenarioError(o.Key("value"), "missing");
    out.base = static_cast<float>(Number(o.Get("value"), o.Key("value")));
    if (o.Has("drift")) out.drift = static_cast<float>(Number(o.Get("drift"), o.Key("drift")));
    if (o.Has("period")) {
        out.period =
            static_cast<std::uint32_t>(Integer(o.Get("period"), o.Key("period"), 1, 1000000));
    }
    o.Done();
    return out;
}

std::vector<Value> ValueList(const Json::Value& v, const std::string& key, std::size_t max) {
    if (!v.isArray() || v.size() > max) {
        throw ScenarioError(key, "expected a list of at most " + std::to_string(max) + " values");
    }
    std::vector<Value> out;
    for (unsigned i = 0; i < v.size(); ++i) out.push_back(ParseValue(v[i], Index(key, i)));
    return out;
}

template <std::size_t N>
void FixedValues(const Json::Value& v, const std::string& key, std::array<Value, N>& out) {
    if (!v.isArray() || v.size() != N) {
        throw ScenarioError(key, "expected a list of exactly " + std::to_string(N) + " values");
    }
    for (unsigned i = 0; i < N; ++i) out[i] = ParseValue(v[i], Index(key, i));
}

Bytes ByteList(const Json::Value& v, const std::string& key, std::size_t max) {
    if (!v.isArray() || v.size() > max) {
        throw ScenarioError(key, "expected a list of at most " + std::to_string(max) + " bytes");
    }
    Bytes out;
    for (unsigned i = 0; i < v.size(); ++i) out.push_back(Byte(v[i], Index(key, i)));
    return out;
}

template <std::size_t N>
void Fill(const Json::Value& v, const std::string& key, std::array<std::uint8_t, N>& out) {
    const Bytes b = ByteList(v, key, N);
    for (std::size_t i = 0; i < b.size(); ++i) out[i] = b[i];
}

DataFlag ParseFlag(const Json::Value& v, const std::string& key) {
    DataFlag f;
    if (v.isString() && v.asString() == "auto") return f;
    if (!v.isIntegral()) throw ScenarioError(key, "expected \"auto\" or an integer 0..255");
    f.automatic = false;
    f.value = Byte(v, key);
    return f;
}

// ---- AC distribution ----

struct AcDefaults {
    int channels = 1;
    Value voltage = Value::Of(220.0f);
    Value frequency = Value::Of(50.0f);
    Value current = Value::Of(10.0f);
    Bytes breakers = Bytes(2, 0);
};

AcChannel DefaultChannel(const AcDefaults& d) {
    AcChannel c;
    c.a = c.b = c.c = d.voltage;
    c.f = d.frequency;
    return c;
}

AcChannel ParseChannel(const Json::Value& v, const std::string& key, const AcDefaults& d) {
    Obj o(v, key);
    AcChannel c = DefaultChannel(d);
    if (o.Has("voltage")) c.a = c.b = c.c = ParseValue(o.Get("voltage"), o.Key("voltage"));
    if (o.Has("a")) c.a = ParseValue(o.Get("a"), o.Key("a"));
    if (o.Has("b")) c.b = ParseValue(o.Get("b"), o.Key("b"));
    if (o.Has("c")) c.c = ParseValue(o.Get("c"), o.Key("c"));
    if (o.Has("f")) c.f = ParseValue(o.Get("f"), o.Key("f"));
    if (o.Has("states")) Fill(o.Get("states"), o.Key("states"), c.states);
    if (o.Has("alarm_user")) Fill(o.Get("alarm_user"), o.Key("alarm_user"), c.alarm_user);
    o.Done();
    return c;
}

Bytes ParseBreakers(const Json::Value& v, const std::string& key) {
    if (v.isIntegral()) return Bytes(static_cast<std::size_t>(Integer(v, key, 0, 255)), 0);
    return ByteList(v, key, 255);
}

AcUnit DefaultAcUnit(const AcDefaults& d) {
    AcUnit u;
    u.channels.assign(static_cast<std::size_t>(d.channels), DefaultChannel(d));
    u.ia = u.ib = u.ic = d.current;
    u.breakers = d.breakers;
    return u;
}

AcUnit ParseAcUnit(const Json::Value& v, const std::string& key, const AcDefaults& d) {
    Obj o(v, key);
    AcUnit u = DefaultAcUnit(d);
    if (o.Has("channels")) {
        const Json::Value& ch = o.Get("channels");
        const std::string k = o.Key("channels");
        if (ch.isArray()) {
            if (ch.size() > kMaxChannels) {
                throw ScenarioError(k, "at most " + std::to_string(kMaxChannels) + " channels");
            }
            u.channels.clear();
            for (unsigned i = 0; i < ch.size(); ++i)
                u.channels.push_back(ParseChannel(ch[i], Index(k, i), d));
        } else {
            u.channels.assign(static_cast<std::size_t>(Integer(ch, k, 0, kMaxChannels)),
                              DefaultChannel(d));
        }
    }
    if (o.Has("current")) u.ia = u.ib = u.ic = ParseValue(o.Get("current"), o.Key("current"));
    if (o.Has("ia")) u.ia = ParseValue(o.Get("ia"), o.Key("ia"));
    if (o.Has("ib")) u.ib = ParseValue(o.Get("ib"), o.Key("ib"));
    if (o.Has("ic")) u.ic = ParseValue(o.Get("ic"), o.Key("ic"));
    if (o.Has("current_alarms"))
        Fill(o.Get("current_alarms"), o.Key("current_alarms"), u.current_alarms);
    if (o.Has("breakers")) u.breakers = ParseBreakers(o.Get("breakers"), o.Key("breakers"));
    if (o.Has("status_user")) Fill(o.Get("status_user"), o.Key("status_user"), u.status_user);
    o.Done();
    return u;
}

void ParseAc(const Json::Value& v, Scenario& s) {
    Obj o(v, "ac");
    AcDefaults d;
    if (o.Has("channels"))
        d.channels =
            static_cast<int>(Integer(o.Get("channels"), o.Key("channels"), 0, kMaxChannels));
    if (o.Has("voltage")) d.voltage = ParseValue(o.Get("voltage"), o.Key("voltage"));
    if (o.Has("frequency")) d.frequency = ParseValue(o.Get("frequency"), o.Key("frequency"));
    if (o.Has("current")) d.current = ParseValue(o.Get("current"), o.Key("current"));
    if (o.Has("breakers")) d.breakers = ParseBreakers(o.Get("breakers"), o.Key("breakers"));
    if (o.Has("data_flag")) s.ac_flag = ParseFlag(o.Get("data_flag"), o.Key("data_flag"));
    s.channel_template = DefaultChannel(d);
    s.ac_units.assign(1, DefaultAcUnit(d));
    if (o.Has("units")) {
        const Json::Value& u = o.Get("units");
        const std::string k = o.Key("units");
        if (u.isArray()) {
            if (u.size() > kMaxAcUnits)
                throw ScenarioError(k, "at most " + std::to_string(kMaxAcUnits) + " units");
            s.ac_units.clear();
            for (unsigned i = 0; i < u.size(); ++i)
                s.ac_units.push_back(ParseAcUnit(u[i], Index(k, i), d));
        } else {
            s.ac_units.assign(static_cast<std::size_t>(Integer(u, k, 0, kMaxAcUnits)),
                              DefaultAcUnit(d));
        }
    }
    o.Done();
}

// ---- Rectifiers ----

Module ParseModule(const Json::Value& v, const std::string& key, const Module& d) {
    Obj o(v, key);
    Module m = d;
    if (o.Has("value")) m.value = ParseValue(o.Get("value"), o.Key("value"));
    if (o.Has("analog")) FixedValues(o.Get("analog"), o.Key("analog"), m.analog);
    if (o.Has("status")) Fill(o.Get("status"), o.Key("status"), m.status);
    if (o.Has("status_user")) m.status_user = Byte(o.Get("status_user"), o.Key("status_user"));
    if (o.Has("fault")) m.fault = Byte(o.Get("fault"), o.Key("fault"));
    if (o.Has("alarm_user")) Fill(o.Get("alarm_user"), o.Key("alarm_user"), m.alarm_user);
    o.Done();
    return m;
}

Module DefaultModule() {
    Module m;
    m.value = Value::Of(20.0f);
    m.analog = {Value::Of(53.5f), Value::Of(32.0f), Value::Of(0.0f), Value::Of(0.0f)};
    return m;
}

void ParseRectifier(const Json::Value& v, Scenario& s) {
    Obj o(v, "rectifier");
    if (o.Has("group")) s.group = ParseValue(o.Get("group"), o.Key("group"));
    if (o.Has("value")) s.module_template.value = ParseValue(o.Get("value"), o.Key("value"));
    if (o.Has("analog")) FixedValues(o.Get("analog"), o.Key("analog"), s.module_template.analog);
    if (o.Has("data_flag")) s.rc_flag = ParseFlag(o.Get("data_flag"), o.Key("data_flag"));
    s.modules.assign(3, s.module_template);
    if (o.Has("modules")) {
        const Json::Value& m = o.Get("modules");
        const std::string k = o.Key("modules");
        if (m.isArray()) {
            if (m.size() > kMaxModules)
                throw ScenarioError(k, "at most " + std::to_string(kMaxModules) + " modules");
            s.modules.clear();
            for (unsigned i = 0; i < m.size(); ++i)
                s.modules.push_back(ParseModule(m[i], Index(k, i), s.module_template));
        } else {
            s.modules.assign(static_cast<std::size_t>(Integer(m, k, 0, kMaxModules)),
                             s.module_template);
        }
    }
    o.Done();
}

// ---- DC distribution ----

DcUnit ParseDcUnit(const Json::Value& v, const std::string& key, const DcUnit& d) {
    Obj o(v, key);
    DcUnit u = d;
    if (o.Has("v")) u.v = ParseValue(o.Get("v"), o.Key("v"));
    if (o.Has("i")) u.i = ParseValue(o.Get("i"), o.Key("i"));
    if (o.Has("m")) u.m = ValueList(o.Get("m"), o.Key("m"), kMaxDcValues);
    if (o.Has("n")) u.n = ValueList(o.Get("n"), o.Key("n"), kMaxDcValues);
    if (o.Has("user")) u.user = ValueList(o.Get("user"), o.Key("user"), kMaxDcValues);
    if (o.Has("v_state")) u.v_state = Byte(o.Get("v_state"), o.Key("v_state"));
    if (o.Has("fuses")) Fill(o.Get("fuses"), o.Key("fuses"), u.fuses);
    if (o.Has("user_alarms")) Fill(o.Get("user_alarms"), o.Key("user_alarms"), u.user_alarms);
    o.Done();
    return u;
}

void ParseDc(const Json::Value& v, Scenario& s, const DcUnit& base) {
    Obj o(v, "dc");
    DcUnit d = base;
    if (o.Has("voltage")) d.v = ParseValue(o.Get("voltage"), o.Key("voltage"));
    if (o.Has("current")) d.i = ParseValue(o.Get("current"), o.Key("current"));
    if (o.Has("m")) d.m = ValueList(o.Get("m"), o.Key("m"), kMaxDcValues);
    if (o.Has("n")) d.n = ValueList(o.Get("n"), o.Key("n"), kMaxDcValues);
    if (o.Has("user")) d.user = ValueList(o.Get("user"), o.Key("user"), kMaxDcValues);
    if (o.Has("data_flag")) s.dc_flag = ParseFlag(o.Get("data_flag"), o.Key("data_flag"));
    s.dc_units.assign(1, d);
    if (o.Has("units")) {
        const Json::Value& u = o.Get("units");
        const std::string k = o.Key("units");
        if (u.isArray()) {
            if (u.size() > kMaxDcUnits)
                throw ScenarioError(k, "at most " + std::to_string(kMaxDcUnits) + " units");
            s.dc_units.clear();
            for (unsigned i = 0; i < u.size(); ++i)
                s.dc_units.push_back(ParseDcUnit(u[i], Index(k, i), d));
        } else {
            s.dc_units.assign(static_cast<std::size_t>(Integer(u, k, 0, kMaxDcUnits)), d);
        }
    }
    o.Done();
}

void ParseParameters(const Json::Value& v, Scenario& s) {
    Obj o(v, "parameters");
    if (o.Has("ac")) FixedValues(o.Get("ac"), o.Key("ac"), s.ac_params);
    if (o.Has("dc")) FixedValues(o.Get("dc"), o.Key("dc"), s.dc_params);
    if (o.Has("dc_user")) FixedValues(o.Get("dc_user"), o.Key("dc_user"), s.dc_user_params);
    o.Done();
}

// ---- Events ----

// A 1-based number key ("unit", "channel", "fuse", "module"), returned 0-based.
int Number1(Obj& o, const std::string& k, int max, bool required, int dflt = 1) {
    if (!o.Has(k)) {
        if (required) throw ScenarioError(o.Key(k), "missing");
        return dflt - 1;
    }
    return static_cast<int>(Integer(o.Get(k), o.Key(k), 1, max)) - 1;
}

int Slot(Obj& o, int max) {
    if (!o.Has("slot")) throw ScenarioError(o.Key("slot"), "missing");
    return static_cast<int>(Integer(o.Get("slot"), o.Key("slot"), 0, max - 1));
}

int Phase(Obj& o, const std::string& letters) {
    const std::string k = o.Key("phase");
    if (!o.Has("phase")) throw ScenarioError(k, "missing");
    const Json::Value& v = o.Get("phase");
    const std::string p = v.isString() ? v.asString() : "";
    const auto at = letters.find(p);
    if (p.size() != 1 || at == std::string::npos) {
        std::string choices;
        for (char c : letters)
            choices += std::string(choices.empty() ? "" : ", ") + "\"" + c + "\"";
        throw ScenarioError(k, "expected one of " + choices);
    }
    return static_cast<int>(at);
}

int AcUnitOf(Obj& o, const Scenario& s) {
    if (s.ac_units.empty()) throw ScenarioError(o.Key("unit"), "the scenario has no AC unit");
    return Number1(o, "unit", static_cast<int>(s.ac_units.size()), false);
}

int DcUnitOf(Obj& o, const Scenario& s) {
    if (s.dc_units.empty()) throw ScenarioError(o.Key("unit"), "the scenario has no DC unit");
    return Number1(o, "unit", static_cast<int>(s.dc_units.size()), false);
}

int ChannelOf(Obj& o, const Scenario& s, int unit) {
    const int n = static_cast<int>(s.ac_units[static_cast<std::size_t>(unit)].channels.size());
    if (n == 0) throw ScenarioError(o.Key("channel"), "that AC unit has no channel");
    return Number1(o, "channel", n, false);
}

void ParseStateLocation(Obj& o, const Scenario& s, Event& e) {
    const std::string k = o.Key("target");
    if (!o.Has("target")) throw ScenarioError(k, "missing");
    const Json::Value& t = o.Get("target");
    const std::string target = t.isString() ? t.asString() : "";
    if (target == "ac_channel") {
        e.state_target = StateTarget::AcChannel;
        e.unit = AcUnitOf(o, s);
        e.channel = ChannelOf(o, s, e.unit);
        e.index = Phase(o, "abcf");
    } else if (target == "ac_current") {
        e.state_target = StateTarget::AcCurrent;
        e.unit = AcUnitOf(o, s);
        e.index = Phase(o, "abc");
    } else if (target == "ac_breaker") {
        e.state_target = StateTarget::AcBreaker;
        e.unit = AcUnitOf(o, s);
        const int n =
            static_cast<int>(s.ac_units[static_cast<std::size_t>(e.unit)].breakers.size());
        if (n == 0) throw ScenarioError(o.Key("slot"), "that AC unit has no breaker");
        e.index = Slot(o, n);
    } else if (target == "dc_voltage") {
        e.state_target = StateTarget::DcVoltage;
        e.unit = DcUnitOf(o, s);
    } else if (target == "fuse") {
        e.state_target = StateTarget::Fuse;
        e.unit = DcUnitOf(o, s);
        e.index = Number1(o, "fuse", 64, true);
    } else if (target == "dc_user") {
        e.state_target = StateTarget::DcUser;
        e.unit = DcUnitOf(o, s);
        e.index = Slot(o, 13);
    } else if (target == "module_fault") {
        e.state_target = StateTarget::ModuleFault;
        e.index = Number1(o, "module", kMaxModules, true);
    } else if (target == "module_alarm") {
        e.state_target = StateTarget::ModuleAlarm;
        e.index = Number1(o, "module", kMaxModules, true);
        e.channel = Slot(o, 4);
    } else if (target == "module_status") {
        e.state_target = StateTarget::ModuleStatus;
        e.index = Number1(o, "module", kMaxModules, true);
        e.channel = Slot(o, 4);
    } else {
        throw ScenarioError(
            k,
            "expected \"ac_channel\", \"ac_current\", \"ac_breaker\", \"dc_voltage\", "
            "\"fuse\", \"dc_user\", \"module_fault\", \"module_alarm\" or "
            "\"module_status\"");
    }
}

void ParseValueLocation(Obj& o, const Scenario& s, Event& e) {
    const std::string k = o.Key("target");
    if (!o.Has("target")) throw ScenarioError(k, "missing");
    const Json::Value& t = o.Get("target");
    const std::string target = t.isString() ? t.asString() : "";
    if (target == "ac_channel") {
        e.value_target = ValueTarget::AcChannel;
        e.unit = AcUnitOf(o, s);
        e.channel = ChannelOf(o, s, e.unit);
        e.index = Phase(o, "abcf");
    } else if (target == "ac_current") {
        e.value_target = ValueTarget::AcCurrent;
        e.unit = AcUnitOf(o, s);
        e.index = Phase(o, "abc");
    } else if (target == "dc_voltage" || target == "dc_current") {
        e.value_target = target == "dc_voltage" ? ValueTarget::DcVoltage : ValueTarget::DcCurrent;
        e.unit = DcUnitOf(o, s);
    } else if (target == "module") {
        e.value_target = ValueTarget::Module;
        e.index = Number1(o, "module", kMaxModules, true);
    } else if (target == "group") {
        e.value_target = ValueTarget::Group;
    } else {
        throw ScenarioError(k,
                            "expected \"ac_channel\", \"ac_current\", \"dc_voltage\", "
                            "\"dc_current\", \"module\" or \"group\"");
    }
    if (!o.Has("value")) throw ScenarioError(o.Key("value"), "missing");
    e.value = ParseValue(o.Get("value"), o.Key("value"));
}

CountKind ParseCount(Obj& o, const Scenario& s, Event& e) {
    const std::string k = o.Key("count");
    if (!o.Has("count")) throw ScenarioError(k, "missing");
    const Json::Value& v = o.Get("count");
    const std::string c = v.isString() ? v.asString() : "";
    if (c == "ac_units") return CountKind::AcUnits;
    if (c == "dc_units") return CountKind::DcUnits;
    if (c == "modules") return CountKind::Modules;
    if (c == "ac_channels") {
        e.unit = AcUnitOf(o, s);
        return CountKind::AcChannels;
    }
    throw ScenarioError(k, "expected \"ac_units\", \"ac_channels\", \"dc_units\" or \"modules\"");
}

Event ParseEvent(const Json::Value& v, const std::string& key, const Scenario& s) {
    Obj o(v, key);
    Event e;
    e.key = key;
    const bool cyc = o.Has("at_cycle");
    const bool sec = o.Has("at_seconds");
    if (cyc == sec)
        throw ScenarioError(o.Key("at_cycle"),
                            "give exactly one of \"at_cycle\" and \"at_seconds\"");
    if (cyc) {
        e.cycle =
            static_cast<std::uint64_t>(Integer(o.Get("at_cycle"), o.Key("at_cycle"), 1, 1LL << 40));
    } else {
        e.by_cycle = false;
        e.seconds = Number(o.Get("at_seconds"), o.Key("at_seconds"));
        if (e.seconds < 0)
            throw ScenarioError(o.Key("at_seconds"), "expected a number of seconds >= 0");
    }
    const std::string dk = o.Key("do");
    if (!o.Has("do")) throw ScenarioError(dk, "missing");
    const Json::Value& dov = o.Get("do");
    const std::string action = dov.isString() ? dov.asString() : "";
    if (action == "set" || action == "clear") {
        e.kind = action == "set" ? Event::Kind::Set : Event::Kind::Clear;
        ParseStateLocation(o, s, e);
        if (action == "set") {
            if (o.Has("state")) e.state = Byte(o.Get("state"), o.Key("state"));
        } else {
            e.state = 0;
        }
    } else if (action == "blow_fuse") {
        e.kind = Event::Kind::BlowFuse;
        e.state_target = StateTarget::Fuse;
        e.unit = DcUnitOf(o, s);
        e.index = Number1(o, "fuse", 64, true);
        e.state = 3;
    } else if (action == "fail_module") {
        e.kind = Event::Kind::FailModule;
        e.state_target = StateTarget::ModuleFault;
        e.index = Number1(o, "module", kMaxModules, true);
        e.state = 1;
    } else if (action == "add_module") {
        e.kind = Event::Kind::AddModule;
        e.module = s.module_template;
        if (o.Has("value")) e.module.value = ParseValue(o.Get("value"), o.Key("value"));
        if (o.Has("analog")) FixedValues(o.Get("analog"), o.Key("analog"), e.module.analog);
    } else if (action == "remove_module") {
        e.kind = Event::Kind::RemoveModule;
        if (o.Has("module")) {
            e.last_module = false;
            e.index = Number1(o, "module", kMaxModules, true);
        }
    } else if (action == "add_channel") {
        e.kind = Event::Kind::AddChannel;
        e.unit = AcUnitOf(o, s);
        e.ac_channel = s.channel_template;
        if (o.Has("voltage")) {
            e.ac_channel.a = e.ac_channel.b = e.ac_channel.c =
                ParseValue(o.Get("voltage"), o.Key("voltage"));
        }
    } else if (action == "remove_channel") {
        e.kind = Event::Kind::RemoveChannel;
        e.unit = AcUnitOf(o, s);
        if (o.Has("channel")) {
            e.last_channel = false;
            e.channel = Number1(o, "channel", kMaxChannels, true);
        }
    } else if (action == "wrong_count" || action == "fix_count") {
        e.kind = action == "wrong_count" ? Event::Kind::WrongCount : Event::Kind::FixCount;
        e.count = ParseCount(o, s, e);
        if (e.kind == Event::Kind::WrongCount) {
            if (!o.Has("value")) throw ScenarioError(o.Key("value"), "missing");
            e.count_value = Byte(o.Get("value"), o.Key("value"));
            if (o.Has("answers"))
                e.answers = Integer(o.Get("answers"), o.Key("answers"), 1, 1LL << 40);
        }
    } else if (action == "set_value") {
        e.kind = Event::Kind::SetValue;
        ParseValueLocation(o, s, e);
    } else if (action == "set_flag") {
        e.kind = Event::Kind::SetFlag;
        const std::string bk = o.Key("block");
        const Json::Value& b = o.Get("block");
        const std::string block = b.isString() ? b.asString() : "";
        if (block == "ac") {
            e.block = Block::Ac;
        } else if (block == "rectifier") {
            e.block = Block::Rectifier;
        } else if (block == "dc") {
            e.block = Block::Dc;
        } else {
            throw ScenarioError(bk, "expected \"ac\", \"rectifier\" or \"dc\"");
        }
        if (!o.Has("value")) throw ScenarioError(o.Key("value"), "missing");
        e.flag = ParseFlag(o.Get("value"), o.Key("value"));
    } else {
        throw ScenarioError(dk,
                            "expected \"set\", \"clear\", \"blow_fuse\", \"fail_module\", "
                            "\"add_module\", \"remove_module\", \"add_channel\", "
                            "\"remove_channel\", \"wrong_count\", "
                            "\"fix_count\", \"set_value\" or \"set_flag\"");
    }
    o.Done();
    return e;
}

// ---- Faults ----

bool ParseCommand(const std::string& text, std::uint8_t& cid1, std::uint8_t& cid2) {
    unsigned a = 0, b = 0;
    char slash = 0, extra = 0;
    std::istringstream in(text);
    if (text.size() != 5) return false;
    in >> std::hex >> a >> slash >> b;
    if (!in || slash != '/' || (in >> extra)) return false;
    cid1 = static_cast<std::uint8_t>(a);
    cid2 = static_cast<std::uint8_t>(b);
    return true;
}

std::vector<std::uint64_t> Ordinals(const Json::Value& v, const std::string& key) {
    if (!v.isArray() || v.empty())
        throw ScenarioError(key, "expected a non-empty list of integers >= 1");
    std::vector<std::uint64_t> out;
    for (unsigned i = 0; i < v.size(); ++i) {
        out.push_back(static_cast<std::uint64_t>(Integer(v[i], Index(key, i), 1, 1LL << 40)));
    }
    return out;
}

FaultRule ParseRule(const Json::Value& v, const std::string& key, FaultKind kind) {
    Obj o(v, key);
    FaultRule r;
    r.kind = kind;
    int modes = 0;
    if (o.Has("probability")) {
        ++modes;
        r.mode = FaultRule::Mode::Probability;
        r.probability = Number(o.Get("probability"), o.Key("probability"));
        if (r.probability < 0.0 || r.probability > 1.0) {
            throw ScenarioError(o.Key("probability"), "expected a number 0..1");
        }
    }
    if (o.Has("every")) {
        ++modes;
        r.mode = FaultRule::Mode::Every;
        r.every = static_cast<std::uint64_t>(Integer(o.Get("every"), o.Key("every"), 1, 1LL << 40));
    }
    if (o.Has("at")) {
        ++modes;
        r.mode = FaultRule::Mode::At;
        r.at = Ordinals(o.Get("at"), o.Key("at"));
    }
    if (o.Has("cycles")) {
        ++modes;
        r.mode = FaultRule::Mode::Cycles;
        r.cycles = Ordinals(o.Get("cycles"), o.Key("cycles"));
    }
    if (modes != 1) {
        throw ScenarioError(
            o.Key("probability"),
            "give exactly one of \"probability\", \"every\", \"at\" and \"cycles\"");
    }
    if (o.Has("command")) {
        const Json::Value& c = o.Get("command");
        if (!c.isString() || !ParseCommand(c.asString(), r.cid1, r.cid2)) {
            throw ScenarioError(o.Key("command"),
                                "expected \"CID1/CID2\" in hexadecimal, as \"41/41\"");
        }
        r.any_command = false;
    }
    if (o.Has("from_cycle")) {
        r.from_cycle = static_cast<std::uint64_t>(
            Integer(o.Get("from_cycle"), o.Key("from_cycle"), 0, 1LL << 40));
    }
    if (o.Has("to_cycle")) {
        r.to_cycle =
            static_cast<std::uint64_t>(Integer(o.Get("to_cycle"), o.Key("to_cycle"), 0, 1LL << 40));
    }
    if (kind == FaultKind::Garbage && o.Has("bytes")) {
        r.garbage_bytes =
            static_cast<std::uint32_t>(Integer(o.Get("bytes"), o.Key("bytes"), 1, 4096));
    }
    if (kind == FaultKind::Truncate && o.Has("keep")) {
        r.keep = static_cast<std::uint32_t>(Integer(o.Get("keep"), o.Key("keep"), 1, 8192));
    }
    if (kind == FaultKind::Delay && o.Has("ms")) {
        r.delay_ms = static_cast<std::uint32_t>(Integer(o.Get("ms"), o.Key("ms"), 1, 60000));
    }
    if (kind == FaultKind::Silence && o.Has("s")) {
        r.silence_s = Number(o.Get("s"), o.Key("s"));
        if (!(r.silence_s > 0.0 && r.silence_s <= 86400.0)) {
            throw ScenarioError(o.Key("s"), "expected seconds, more than 0 and at most 86400");
        }
    }
    o.Done();
    return r;
}

void ParseFaults(const Json::Value& v, Scenario& s) {
    Obj o(v, "faults");
    if (o.Has("seed"))
        s.faults.seed =
            static_cast<std::uint32_t>(Integer(o.Get("seed"), o.Key("seed"), 0, 0xFFFFFFFFLL));
    const std::pair<const char*, FaultKind> kinds[] = {
        {"drop", FaultKind::Drop},         {"corrupt_checksum", FaultKind::CorruptChecksum},
        {"truncate", FaultKind::Truncate}, {"garbage", FaultKind::Garbage},
        {"delay", FaultKind::Delay},       {"duplicate", FaultKind::Duplicate},
        {"silence", FaultKind::Silence},
    };
    for (const auto& [name, kind] : kinds) {
        if (!o.Has(name)) continue;
        const Json::Value& r = o.Get(name);
        const std::string k = o.Key(name);
        if (r.isArray()) {
            for (unsigned i = 0; i < r.size(); ++i)
                s.faults.rules.push_back(ParseRule(r[i], Index(k, i), kind));
        } else {
            s.faults.rules.push_back(ParseRule(r, k, kind));
        }
    }
    o.Done();
}

// Every answer must fit one frame, with the largest counts the scenario can reach.
void CheckSizes(const Scenario& s) {
    std::size_t ac41 = 2, ac43 = 2, ac44 = 2;
    for (const auto& u : s.ac_units) {
        ac41 += 13 + 17 * u.channels.size();
        ac43 += 2 + u.breakers.size() + 3;
        ac44 += 4 + 14 * u.channels.size();
    }
    std::size_t dc41 = 2;
    for (const auto& u : s.dc_units) dc41 += 11 + 4 * (u.m.size() + u.n.size() + u.user.size());
    const std::size_t dc44 = 2 + 80 * s.dc_units.size();
    if (ac41 > kMaxInfo || ac43 > kMaxInfo || ac44 > kMaxInfo) {
        throw ScenarioError("ac.units", "the AC answers would not fit one frame (" +
                                            std::to_string(std::max({ac41, ac43, ac44})) +
                                            " INFO bytes, at most 2047)");
    }
    if (dc41 > kMaxInfo || dc44 > kMaxInfo) {
        throw ScenarioError("dc.units", "the DC answers would not fit one frame (" +
                                            std::to_string(std::max(dc41, dc44)) +
                                            " INFO bytes, at most 2047)");
    }
}

Scenario Build(const Json::Value& root) {
    Scenario s;
    s.group = Value::Of(53.5f);
    s.module_template = DefaultModule();
    s.ac_params = {Value::Of(280.0f), Value::Of(180.0f), Value::Of(100.0f), Value::Of(55.0f),
                   Value::Of(45.0f)};
    s.dc_params = {Value::Of(57.6f), Value::Of(45.0f)};
    s.dc_user_params = {Value::Of(56.4f), Value::Of(53.5f), Value::Of(0.1f),
                        Value::Of(47.0f), Value::Of(45.0f), Value::Of(43.2f),
                        Value::Of(40.0f), Value::Of(25.0f), Value::Of(1.0f)};
    DcUnit dc;
    dc.v = Value::Of(53.5f);
    dc.i = Value::Of(48.0f);
    dc.m = {Value::Of(1.5f), Value::Of(1.5f)};

    Obj o(root, "");
    if (o.Has("model")) {
        const Json::Value& m = o.Get("model");
        if (!m.isString()) throw ScenarioError("model", "expected a text");
        SetModel(s, m.asString());
    }
    if (o.Has("protocol_version")) {
        const Json::Value& v = o.Get("protocol_version");
        if (!v.isIntegral() || (v.asLargestInt() != 0x20 && v.asLargestInt() != 0x21)) {
            throw ScenarioError("protocol_version", "expected 32 (0x20) or 33 (0x21)");
        }
        s.protocol_version = static_cast<std::uint8_t>(v.asLargestInt());
    }
    if (o.Has("address"))
        s.address = static_cast<std::uint8_t>(Integer(o.Get("address"), "address", 0, 254));

    if (o.Has("ac")) {
        ParseAc(o.Get("ac"), s);
    } else {
        ParseAc(Json::Value(Json::objectValue), s);
    }
    if (o.Has("rectifier")) {
        ParseRectifier(o.Get("rectifier"), s);
    } else {
        ParseRectifier(Json::Value(Json::objectValue), s);
    }
    if (o.Has("dc")) {
        ParseDc(o.Get("dc"), s, dc);
    } else {
        ParseDc(Json::Value(Json::objectValue), s, dc);
    }
    if (o.Has("parameters")) ParseParameters(o.Get("parameters"), s);
    if (o.Has("faults")) ParseFaults(o.Get("faults"), s);
    if (o.Has("events")) {
        const Json::Value& ev = o.Get("events");
        if (!ev.isArray()) throw ScenarioError("events", "expected a list of events");
        for (unsigned i = 0; i < ev.size(); ++i)
            s.events.push_back(ParseEvent(ev[i], Index("events", i), s));
    }
    o.Done();
    CheckSizes(s);
    return s;
}

}  // namespace

Scenario ParseScenario(const std::string& json_text) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(json_text.data(), json_text.data() + json_text.size(), &root, &errors)) {
        while (!errors.empty() && (errors.back() == '\n' || errors.back() == ' '))
            errors.pop_back();
        throw ScenarioError("", "not valid JSON: " + errors);
    }
    return Build(root);
}

Scenario LoadScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError("", "cannot be read", path);
    std::ostringstream text;
    text << in.rdbuf();
    try {
        return ParseScenario(text.str());
    } catch (const ScenarioError& e) {
        throw ScenarioError(e.key(), e.problem(), path);
    }
}

Scenario DefaultScenario() {
    return Build(Json::Value(Json::objectValue));
}

}  // namespace sim
