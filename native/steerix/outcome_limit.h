// The largest tool outcome worth holding: more than this can never reach the model (no Python.h).
#pragma once

#include <cstddef>

namespace talmek::steerix {

// The Messages API refuses any request over 32 MB (HTTP 413 "request_too_large", answered before
// the request reaches the model). An outcome travels in the next request as a JSON string, and
// JSON never makes our text shorter than the bytes it came from: a character is either copied
// as it is or escaped into more bytes, and even a "\r\n" that text mode turned into "\n" comes
// back as the two bytes of the escape "\n". So a command whose raw output, or a view whose text,
// passes this bound cannot be sent at all, whatever else the request holds; keeping it would
// only cost memory, and without a cap `yes` would grow until the kernel kills the assistant.
// 32 MiB is a little above 32 MB, so nothing that could still fit is ever cut.
inline constexpr std::size_t kMaxOutcomeBytes = std::size_t{32} << 20;

}  // namespace talmek::steerix
