// Refusals of a value query, made when the program starts. Throwing copies
// one, and the copy shares the message, so a refused query allocates no text.
#pragma once

#include <stdexcept>

namespace value_reply {

inline const std::out_of_range kNotReady("数据未就绪");
inline const std::out_of_range kTimedOut("数据已超时");
inline const std::out_of_range kChannelOutOfRange("通道参数越界");
inline const std::out_of_range kNotProvided("数据未提供");

[[noreturn]] inline void NotReady() {
    throw kNotReady;
}
[[noreturn]] inline void TimedOut() {
    throw kTimedOut;
}
[[noreturn]] inline void ChannelOutOfRange() {
    throw kChannelOutOfRange;
}
[[noreturn]] inline void NotProvided() {
    throw kNotProvided;
}

}  // namespace value_reply
