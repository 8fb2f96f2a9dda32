// The runtime calls of the software device, with the CUDA runtime's names and signatures.
//
// Execution model: every stream operation (copy, memset, symbol copy, launch) runs to the end in
// the calling thread before the call returns, holding its stream's lock. Operations on one
// stream are therefore in order even when several host threads share it, and "asynchronous"
// calls are simply complete when they return; synchronisation waits only for an operation
// another thread is running on that stream. The default stream (0) of each device is an
// ordinary stream of that device; it does not wait for the device's other streams.
//
// Memory: device allocations and pinned host allocations are anonymous mappings of host RAM,
// paged in on first touch (a 1 GiB allocation costs nothing until written). Pinned memory is
// mapped: its device pointer is its host pointer. Copies, memsets and frees check the pointers
// they are given against the allocations they know and refuse ranges that leave them.
//
// Errors: a failing call returns its code and records it as the calling thread's last error,
// which cudaGetLastError returns and clears and cudaPeekAtLastError returns and keeps.
#pragma once

#include <cstddef>

#include "gpu/softdevice/types.h"

cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaSetDeviceFlags(unsigned int flags);
cudaError_t cudaGetDeviceFlags(unsigned int* flags);
cudaError_t cudaDeviceReset();
// A software device sits on no PCI bus: a valid device gives an empty text and
// cudaErrorNotSupported, so callers treat its bus id as unknown.
cudaError_t cudaDeviceGetPCIBusId(char* pci_bus_id, int len, int device);
cudaError_t cudaDeviceSynchronize();

cudaError_t cudaStreamCreate(cudaStream_t* stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);

cudaError_t cudaMalloc(void** dev_ptr, size_t size);
cudaError_t cudaFree(void* dev_ptr);
cudaError_t cudaHostAlloc(void** host_ptr, size_t size, unsigned int flags);
cudaError_t cudaFreeHost(void* host_ptr);
cudaError_t cudaMemGetInfo(size_t* free, size_t* total);
cudaError_t cudaHostGetDevicePointer(void** dev_ptr, void* host_ptr, unsigned int flags);

cudaError_t cudaMemset(void* dev_ptr, int value, size_t count);
cudaError_t cudaMemsetAsync(void* dev_ptr, int value, size_t count, cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, const void* func);
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* num_blocks,
                                                                   const void* func, int block_size,
                                                                   size_t dynamic_smem_size,
                                                                   unsigned int flags);
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* num_blocks, const void* func,
                                                          int block_size, size_t dynamic_smem_size);

// Kernel forms of the function queries, as the CUDA runtime header offers them.
template <class... P>
cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, void (*func)(P...)) {
  return cudaFuncGetAttributes(attr, reinterpret_cast<const void*>(func));
}
template <class... P>
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* num_blocks,
                                                                   void (*func)(P...),
                                                                   int block_size,
                                                                   size_t dynamic_smem_size,
                                                                   unsigned int flags) {
  return cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
      num_blocks, reinterpret_cast<const void*>(func), block_size, dynamic_smem_size, flags);
}
template <class... P>
cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* num_blocks, void (*func)(P...),
                                                          int block_size,
                                                          size_t dynamic_smem_size) {
  return cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(
      num_blocks, reinterpret_cast<const void*>(func), block_size, dynamic_smem_size,
      cudaOccupancyDefault);
}
