// Refusals of a value query. Each is made once; throwing copies it, and the
// copy shares the message, so a refused query allocates no text.
#pragma once

#include <stdexcept>

namespace value_reply {

[[noreturn]] inline void NotReady() {
    static const std::out_of_range reply("数据未就绪");
    throw reply;
}

[[noreturn]] inline void TimedOut() {
    static const std::out_of_range reply("数据已超时");
    throw reply;
}

[[noreturn]] inline void ChannelOutOfRange() {
    static const std::out_of_range reply("通道参数越界");
    throw reply;
}

[[noreturn]] inline void NotProvided() {
    static const std::out_of_range reply("数据未提供");
    throw reply;
}

}  // namespace value_reply
