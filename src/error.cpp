// The error type's helpers: an operating-system error as a message.
#include "error.h"

#include <cstring>

namespace kestro {

Error os_error(int errnum) {
    return Error::raw(fmt::format("{} (os error {})", std::strerror(errnum), errnum));
}

}  // namespace kestro
