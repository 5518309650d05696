// Scoped owners of file descriptors: FdOwner holds one descriptor, PipeOwner
// both ends of a pipe. Both close what they still hold when destroyed. Also
// the bulk close that a child runs before exec.
#pragma once

namespace marun {
namespace process {

class FdOwner {
  public:
    explicit FdOwner(int fd = -1) noexcept : fd_(fd) {}
    FdOwner(FdOwner&& other) noexcept : fd_(other.release()) {}
    FdOwner& operator=(FdOwner&& other) noexcept;
    FdOwner(const FdOwner&) = delete;
    FdOwner& operator=(const FdOwner&) = delete;
    ~FdOwner() { close_nothrow(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    // Gives up ownership without closing.
    int release() noexcept;
    // Closes the held descriptor (if any) and takes `fd`.
    void reset(int fd = -1) noexcept;

    // Closes the descriptor; throws SystemError "close" on failure. The
    // descriptor counts as closed afterwards either way.
    void close();
    void close_nothrow() noexcept;

  private:
    int fd_;
};

class PipeOwner {
  public:
    PipeOwner() = default;
    // Creates the pipe with pipe2(flags); throws SystemError `what` on failure.
    PipeOwner(const char* what, int flags);

    int readEnd() const noexcept { return read_.get(); }
    int writeEnd() const noexcept { return write_.get(); }
    FdOwner& reader() noexcept { return read_; }
    FdOwner& writer() noexcept { return write_; }

    // Close one end; throw SystemError "pipe read-end close" or
    // "pipe write-end close" on failure.
    void closeRead();
    void closeWrite();
    void close_nothrow() noexcept;

  private:
    FdOwner read_;
    FdOwner write_;
};

// Closes every descriptor from `from` up to the soft RLIMIT_NOFILE limit
// minus one (20 when the limit cannot be read), except `keep`; keeps errno.
void closeDescriptorsFrom(int from, int keep = -1) noexcept;

}  // namespace process
}  // namespace marun
