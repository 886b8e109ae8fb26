// Shared between the stand-in's source files; not part of its interface.
#ifndef VANTOR_ENGINE_STANDIN_INTERNAL_H
#define VANTOR_ENGINE_STANDIN_INTERNAL_H

#include <cstdarg>
#include <string>

namespace standin {
namespace detail {

// The text of a printf-style format and its arguments.
std::string vformat(const char *fmt, va_list ap);

}  // namespace detail
}  // namespace standin

#endif
