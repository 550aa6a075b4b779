// korel._index's checksums for korel.storage: zlib's CRC-32 computed
// without the GIL (index/crc32.h), and the reading of a file section into a
// buffer with its CRC-32 taken on the way, on several threads, each piece
// checked while it is still in the cache.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#define KOREL_HAS_PREAD 1
#else
#define KOREL_HAS_PREAD 0
#endif

#include "index/bindings.h"
#include "index/crc32.h"

namespace korel {
namespace index {
namespace {

namespace py = pybind11;

// A buffer of the caller's, held for the call (writable when asked).
class HeldBuffer {
 public:
  HeldBuffer(const py::handle& object, bool writable) {
    if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0)) != 0) {
      throw py::error_already_set();
    }
  }
  ~HeldBuffer() { PyBuffer_Release(&view_); }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  unsigned char* data() const { return static_cast<unsigned char*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

// Below this many bytes the GIL is kept: releasing it costs more.
constexpr std::size_t gil_free_bytes = std::size_t{1} << 16;

std::uint32_t checksum(const py::handle& data, std::uint32_t value) {
  const HeldBuffer held(data, false);
  if (held.size() < gil_free_bytes) return crc32::update(value, held.data(), held.size());
  py::gil_scoped_release free;
  return crc32::update(value, held.data(), held.size());
}

#if KOREL_HAS_PREAD
// Bytes a thread reads and then checks in one go: small enough to be
// checked from the cache it was just copied into.
constexpr std::size_t read_step = std::size_t{1} << 18;
// Bytes a thread takes at a time, at most: fewer when the read is small,
// so that every thread gets several pieces.
constexpr std::size_t largest_piece = std::size_t{1} << 22;
constexpr std::size_t pieces_per_thread = 4;

// Reads `length` bytes of `fd` at `offset` into `into`, in steps, and
// returns how many it read (fewer at the end of the file) and their CRC-32;
// errno stays set when a read failed.
std::pair<std::size_t, std::uint32_t> read_piece(int fd, std::uint64_t offset, unsigned char* into, std::size_t length,
                                                 int& error) {
  std::uint32_t crc = 0;
  std::size_t done = 0;
  while (done < length) {
    const std::size_t step = std::min(read_step, length - done);
    std::size_t got = 0;
    while (got < step) {
      const ssize_t n = ::pread(fd, into + done + got, step - got, static_cast<off_t>(offset + done + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = errno;
        return {done + got, crc};
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    crc = crc32::update(crc, into + done, got);
    done += got;
    if (got < step) break;
  }
  return {done, crc};
}

// A piece of one part of a read: where it goes and what came.
struct Piece {
  std::size_t part;
  std::size_t start;
  std::size_t size;
  std::size_t read = 0;
  std::uint32_t crc = 0;
};

// A read of every part of a list of (offset, buffer), each buffer filled
// from the file at its offset, on threads of its own that share the parts
// and take each piece's CRC-32 as it arrives, while the caller goes on:
// wait() gives, for each part, (bytes read, their CRC-32); fewer bytes than
// asked means the file ended. The buffers stay held until the read is
// dropped, which stops the threads first.
class PendingRead {
 public:
  PendingRead(int fd, const py::list& parts, std::size_t threads) : fd_(fd) {
    std::size_t total = 0;
    for (const py::handle part : parts) {
      if (!py::isinstance<py::tuple>(part) || py::len(part) != 2) {
        throw py::type_error("each part is a pair (offset, buffer)");
      }
      const auto pair = py::reinterpret_borrow<py::tuple>(part);
      offsets_.push_back(pair[0].cast<std::uint64_t>());
      buffers_.push_back(std::make_unique<HeldBuffer>(pair[1], true));
      total += buffers_.back()->size();
    }
    threads = std::max<std::size_t>(threads, 1);
    const std::size_t share = (total + threads * pieces_per_thread - 1) / (threads * pieces_per_thread);
    const std::size_t piece_size =
        std::clamp((share + read_step - 1) / read_step * read_step, read_step, largest_piece);
    for (std::size_t part = 0; part < buffers_.size(); ++part) {
      const std::size_t length = buffers_[part]->size();
      for (std::size_t start = 0; start < length; start += piece_size) {
        pieces_.push_back({part, start, std::min(piece_size, length - start)});
      }
    }
    const std::size_t wanted = std::min(threads, pieces_.size());
    threads_.reserve(wanted);  // so that only the threads' start can fail below
    try {
      for (std::size_t t = 0; t < wanted; ++t) {
        {
          const std::lock_guard<std::mutex> lock(mutex_);
          ++running_;
        }
        try {
          threads_.emplace_back([this] { work(); });
        } catch (...) {
          const std::lock_guard<std::mutex> lock(mutex_);
          --running_;
          throw;
        }
      }
    } catch (const std::system_error&) {
      // Fewer threads (none: wait() reads), the same work.
    }
  }
  PendingRead(const PendingRead&) = delete;
  PendingRead& operator=(const PendingRead&) = delete;
  ~PendingRead() { stop(); }

  // Stops the threads after the steps they are in, and joins them: the
  // buffers are left partly filled.
  void stop() {
    stopped_.store(true);
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  // Waits for the read, without the GIL (Ctrl-C stops it and raises):
  // [(bytes read, their CRC-32)] for each part; OSError when a read failed.
  py::list wait() {
    if (threads_.empty()) {
      py::gil_scoped_release free;
      work_alone();
    }
    for (bool done = false; !done;) {
      {
        py::gil_scoped_release free;
        std::unique_lock<std::mutex> lock(mutex_);
        done = finished_.wait_for(lock, std::chrono::milliseconds(20), [this] { return running_ == 0; });
      }
      if (!done && PyErr_CheckSignals() != 0) {
        stop();
        throw py::error_already_set();
      }
    }
    stop();
    if (const int error = failure_.load()) {
      errno = error;
      PyErr_SetFromErrno(PyExc_OSError);
      throw py::error_already_set();
    }
    // A part's CRC is that of its pieces read in full, in order, up to the
    // first one that came short.
    std::vector<std::size_t> read(buffers_.size(), 0);
    std::vector<std::uint32_t> crcs(buffers_.size(), 0);
    std::vector<bool> short_read(buffers_.size(), false);
    for (const Piece& piece : pieces_) {
      if (short_read[piece.part]) continue;
      crcs[piece.part] = crc32::combine(crcs[piece.part], piece.crc, piece.read);
      read[piece.part] += piece.read;
      short_read[piece.part] = piece.read < piece.size;
    }
    py::list results;
    for (std::size_t part = 0; part < buffers_.size(); ++part) results.append(py::make_tuple(read[part], crcs[part]));
    return results;
  }

 private:
  void work_alone() {
    for (std::size_t i; failure_.load() == 0 && !stopped_.load() && (i = next_.fetch_add(1)) < pieces_.size();) {
      Piece& piece = pieces_[i];
      int error = 0;
      std::tie(piece.read, piece.crc) = read_piece(fd_, offsets_[piece.part] + piece.start,
                                                   buffers_[piece.part]->data() + piece.start, piece.size, error);
      if (error != 0) failure_.store(error);
    }
  }
  void work() {
    work_alone();
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--running_ == 0) finished_.notify_all();
  }

  int fd_;
  std::vector<std::uint64_t> offsets_;
  std::vector<std::unique_ptr<HeldBuffer>> buffers_;
  std::vector<Piece> pieces_;
  std::atomic<std::size_t> next_{0};
  std::atomic<int> failure_{0};
  std::atomic<bool> stopped_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  std::size_t running_ = 0;
  std::vector<std::thread> threads_;
};

// Reads every part of `parts` (see PendingRead) and waits for it.
py::list read_checked(int fd, const py::list& parts, std::size_t threads) {
  PendingRead read(fd, parts, threads);
  return read.wait();
}
#endif

}  // namespace

void bind_checksums(py::module_& module) {
  module.def("crc32", &checksum, py::arg("data"), py::arg("value") = 0,
             "zlib.crc32(data, value), without the GIL for large buffers.");
  module.def("crc32_combine", &crc32::combine, py::arg("first"), py::arg("second"), py::arg("second_length"),
             "The CRC-32 of A followed by B, from A's, B's and B's length.");
  module.def("crc32_folds", &crc32::uses_clmul, "Whether the CRC-32 folds with carry-less multiplication here.");
#if KOREL_HAS_PREAD
  module.def("read_checked", &read_checked, py::arg("fd"), py::arg("parts"), py::arg("threads"),
             "Fills each buffer of `parts`, a list of (offset, buffer), from the file `fd` at the offset, "
             "on up to `threads` threads shared by all: [(bytes read, their CRC-32)] for each part.");
  py::class_<PendingRead>(module, "PendingRead")
      .def("wait", &PendingRead::wait,
           "Waits for the read: [(bytes read, their CRC-32)] for each part (OSError when a read failed).")
      .def("stop", &PendingRead::stop, "Stops the read, leaving the buffers partly filled.");
  module.def(
      "start_read",
      [](int fd, const py::list& parts, std::size_t threads) { return std::make_unique<PendingRead>(fd, parts, threads); },
      py::arg("fd"), py::arg("parts"), py::arg("threads"),
      "read_checked on threads of its own while the caller goes on: wait() gives its result. The buffers are "
      "held, and must not be read, until then.");
#endif
}

}  // namespace index
}  // namespace korel
