#include "service/json/VocabularyJson.h"

#include "runtime/values/Vocabulary.h"

namespace smd::service {

namespace {

void write_rows(json::Writer& w, const ValueDef* rows, std::size_t n) {
    w.BeginArray();
    for (std::size_t i = 0; i < n; ++i) {
        const ValueDef& d = rows[i];
        w.BeginObject();
        w.Key("name").String(d.name);
        w.Key("label").String(d.label);
        w.Key("column").String(d.column);
        w.Key("unit").String(d.unit);
        w.Key("class").String(value_class_name(d.cls));
        w.Key("metric").String(d.metric);
        w.Key("metric_label").String(d.metric_label);
        w.Key("device_class").String(d.device_class);
        w.Key("state_class").String(d.state_class);
        w.Key("precision").Int(d.precision);
        w.Key("plot").String(d.plot);
        if (d.cls == ValueClass::Alarm) {
            w.Key("alarm_on");
            if (d.alarm_on < 0) {
                w.String("nonzero");
            } else {
                w.Int(d.alarm_on);
            }
        }
        w.EndObject();
    }
    w.EndArray();
}

}  // namespace

void WriteVocabulary(json::Writer& w) {
    w.BeginObject().Key("units").BeginArray();
    for (const UnitVocabulary* u : vocabularies()) {
        w.BeginObject();
        w.Key("kind").String(unit_kind_name(u->kind));
        w.Key("label").String(u->label);
        w.Key("values");
        write_rows(w, u->values, u->value_count);
        w.Key("group");
        if (u->group_value_count == 0) {
            w.Null();
        } else {
            w.BeginObject();
            w.Key("prefix").String(u->group_prefix);
            w.Key("label").String(u->group_label);
            w.Key("first").Int(u->group_first);
            w.Key("metric_label").String(u->group_metric_label);
            w.Key("values");
            write_rows(w, u->group_values, u->group_value_count);
            w.EndObject();
        }
        w.EndObject();
    }
    w.EndArray().EndObject();
}

}  // namespace smd::service
