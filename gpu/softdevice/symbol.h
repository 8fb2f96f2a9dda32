// Constant-memory symbols of the software device. Every device has its own copy of each symbol;
// a kernel thread reads the copy of the device its launch runs on, host code writes the copy of
// its current device with cudaMemcpyToSymbol(Async). Kernel code reads a symbol like the array
// it is in the CUDA build (name[i], or name as a const pointer); sizeof(name) differs between
// the builds, so kernels take sizes from their own constants, not from sizeof on a symbol.
#pragma once

#include <cstddef>
#include <type_traits>

#include "gpu/softdevice/config.h"
#include "gpu/softdevice/types.h"

namespace Kest::swdev {

namespace detail {
// The device whose symbol copies this thread reads: the current device of a host thread, the
// launch's device on a thread that runs kernel bodies. Always a valid index below kMaxDevices.
inline thread_local int tls_device = 0;

cudaError_t CopySymbol(unsigned char* rows, std::size_t row_bytes, bool to_symbol, void* host,
                       std::size_t count, std::size_t offset, cudaMemcpyKind kind,
                       cudaStream_t stream, bool async);
}  // namespace detail

template <class T, std::size_t N>
class ConstantSymbol {
  static_assert(std::is_trivially_copyable_v<T>, "constant symbols hold plain data");
  static_assert(N > 0, "a constant symbol holds at least one element");

 public:
  static constexpr std::size_t kCount = N;
  static constexpr std::size_t kBytes = sizeof(T) * N;

  constexpr ConstantSymbol() : rows_{} {}

  // Initialised table: every device's copy starts as `image`.
  constexpr explicit ConstantSymbol(const T (&image)[N]) : rows_{} {
    for (int d = 0; d < kMaxDevices; ++d) {
      for (std::size_t i = 0; i < N; ++i) rows_[d][i] = image[i];
    }
  }

  ConstantSymbol(const ConstantSymbol&) = delete;
  ConstantSymbol& operator=(const ConstantSymbol&) = delete;

  template <class I, class = std::enable_if_t<std::is_integral_v<I>>>
  const T& operator[](I i) const {
    return rows_[detail::tls_device][i];
  }
  const T* data() const { return rows_[detail::tls_device]; }
  operator const T*() const { return data(); }

  // Runtime side: the storage of all copies, row d belonging to device d.
  unsigned char* Rows() { return reinterpret_cast<unsigned char*>(rows_); }

 private:
  T rows_[kMaxDevices][N];
};

}  // namespace Kest::swdev

// Copies to and from a symbol of the current device, with the CUDA runtime's signatures.
template <class T, std::size_t N>
cudaError_t cudaMemcpyToSymbol(Kest::swdev::ConstantSymbol<T, N>& symbol, const void* src,
                               size_t count, size_t offset = 0,
                               cudaMemcpyKind kind = cudaMemcpyHostToDevice) {
  return Kest::swdev::detail::CopySymbol(symbol.Rows(), symbol.kBytes, true, const_cast<void*>(src),
                                         count, offset, kind, nullptr, false);
}

template <class T, std::size_t N>
cudaError_t cudaMemcpyToSymbolAsync(Kest::swdev::ConstantSymbol<T, N>& symbol, const void* src,
                                    size_t count, size_t offset = 0,
                                    cudaMemcpyKind kind = cudaMemcpyHostToDevice,
                                    cudaStream_t stream = nullptr) {
  return Kest::swdev::detail::CopySymbol(symbol.Rows(), symbol.kBytes, true, const_cast<void*>(src),
                                         count, offset, kind, stream, true);
}

template <class T, std::size_t N>
cudaError_t cudaMemcpyFromSymbol(void* dst, Kest::swdev::ConstantSymbol<T, N>& symbol, size_t count,
                                 size_t offset = 0, cudaMemcpyKind kind = cudaMemcpyDeviceToHost) {
  return Kest::swdev::detail::CopySymbol(symbol.Rows(), symbol.kBytes, false, dst, count, offset,
                                         kind, nullptr, false);
}

template <class T, std::size_t N>
cudaError_t cudaMemcpyFromSymbolAsync(void* dst, Kest::swdev::ConstantSymbol<T, N>& symbol,
                                      size_t count, size_t offset = 0,
                                      cudaMemcpyKind kind = cudaMemcpyDeviceToHost,
                                      cudaStream_t stream = nullptr) {
  return Kest::swdev::detail::CopySymbol(symbol.Rows(), symbol.kBytes, false, dst, count, offset,
                                         kind, stream, true);
}

// Anything else named as a symbol (an address, a plain variable) is not one.
cudaError_t cudaMemcpyToSymbol(const void* symbol, const void* src, size_t count, size_t offset = 0,
                               cudaMemcpyKind kind = cudaMemcpyHostToDevice);
cudaError_t cudaMemcpyToSymbolAsync(const void* symbol, const void* src, size_t count,
                                    size_t offset, cudaMemcpyKind kind,
                                    cudaStream_t stream = nullptr);
