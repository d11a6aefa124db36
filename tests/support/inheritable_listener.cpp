#include "support/inheritable_listener.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>

namespace nimbra::testing {

UniqueFd inheritableListener() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd.valid() ||
        ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd.get(), 1) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot open a listener");
    }
    return fd;
}

}  // namespace nimbra::testing
