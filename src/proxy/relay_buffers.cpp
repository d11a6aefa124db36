#include "proxy/relay_buffers.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace nimbra {
namespace {

// Enough for every tunnel of a busy browser to move bytes at once; beyond that, give memory back.
constexpr std::size_t kIdleKept = 16;

}  // namespace

BufferPool& BufferPool::forThisThread() {
    thread_local BufferPool pool;
    return pool;
}

BufferPool::Buffer BufferPool::acquire() {
    if (idle_.empty()) return Buffer(new std::uint8_t[kRelayChunk]);
    Buffer buffer = std::move(idle_.back());
    idle_.pop_back();
    return buffer;
}

void BufferPool::release(Buffer buffer) {
    if (idle_.size() < kIdleKept) idle_.push_back(std::move(buffer));
}

#ifdef __linux__
PipePool& PipePool::forThisThread() {
    thread_local PipePool pool;
    return pool;
}

std::optional<SplicePipe> PipePool::acquire() {
    if (!idle_.empty()) {
        SplicePipe pipe = std::move(idle_.back());
        idle_.pop_back();
        return pipe;
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return std::nullopt;
    SplicePipe pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
    // Best effort: a smaller pipe only means more splice calls per chunk.
    ::fcntl(pipe.writeEnd.get(), F_SETPIPE_SZ, static_cast<int>(kRelayChunk));
    return pipe;
}

void PipePool::release(SplicePipe pipe) {
    if (idle_.size() < kIdleKept) idle_.push_back(std::move(pipe));
}
#endif

}  // namespace nimbra
