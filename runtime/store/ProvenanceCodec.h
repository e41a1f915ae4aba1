// The answers of an alarm event's provenance as the history database keeps
// them: per answer CID1, CID2, its local time in microseconds since 1970
// (8 bytes), the frame's length (4 bytes) and its bytes; integers little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/SMDController.h"

namespace smd {

std::vector<std::uint8_t> EncodeAnswers(const std::vector<AnswerRef>& answers);
// False for bytes that are not such a list (nothing is added then).
bool DecodeAnswers(const std::uint8_t* data, std::size_t len, std::vector<AnswerRef>& out);
// "42/44": the command an answer answered.
std::string command_text(const AnswerRef& a);
std::string hex_text(const std::vector<unsigned char>& bytes);

}  // namespace smd
