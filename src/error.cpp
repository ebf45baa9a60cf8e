#include "error.h"

#include <cstring>

namespace kestro {

Error os_error(int errnum) {
    return Error::raw(fmt::format("{} (os error {})", std::strerror(errnum), errnum));
}

}  // namespace kestro
