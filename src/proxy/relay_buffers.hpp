#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/unique_fd.hpp"

// Buffers borrowed only while bytes are in flight, so that a thousand idle tunnels hold none.
// Each service thread has its own pools; nothing here is shared between threads.
namespace nimbra {

// The most a tunnel reads at once, per direction.
inline constexpr std::size_t kRelayChunk = 256 * 1024;

// 256 KiB heap buffers for relaying through user space.
class BufferPool {
public:
    using Buffer = std::unique_ptr<std::uint8_t[]>;

    static BufferPool& forThisThread();

    Buffer acquire();
    void release(Buffer buffer);

private:
    std::vector<Buffer> idle_;
};

#ifdef __linux__
// A kernel pipe that splice(2) moves socket data through without copying it to user space.
struct SplicePipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

// Pipes sized to kRelayChunk where the kernel allows it. Only empty pipes may be released: a
// pipe still holding bytes of a failed tunnel is dropped instead.
class PipePool {
public:
    static PipePool& forThisThread();

    // nullopt when no pipe can be created (out of descriptors).
    std::optional<SplicePipe> acquire();
    void release(SplicePipe pipe);

private:
    std::vector<SplicePipe> idle_;
};
#endif

}  // namespace nimbra
