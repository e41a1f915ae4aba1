// The value vocabulary as the API serves it (/api/v1/vocabulary): what each
// value of each unit kind is, for clients that label, format or plot values.
#pragma once

#include "runtime/text/JsonText.h"

namespace smd::service {

// {"units": [{"kind", "label", "values": [...], "group": {...} or null}]}
void WriteVocabulary(json::Writer& w);

}  // namespace smd::service
