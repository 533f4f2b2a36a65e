/*
 * Reading the first `size` bytes of a file in chunks, with its holes told apart
 * from its data (SEEK_DATA/SEEK_HOLE), so that hashing and copying never read,
 * and copying never writes, the gigabytes of zeros a sparse file may claim.
 *
 * Stateless; the descriptor is read with pread only, so its file offset is never
 * relied on.
 */
#ifndef QELDA_FILE_CHUNKS_H
#define QELDA_FILE_CHUNKS_H

#include "qelda/QeldaScannedFile.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace qelda {

inline constexpr std::size_t kChunkSize = 1u << 20;

// One piece of the file: `data` holds `length` bytes read at `offset`, or is null
// for a hole of `length` zero bytes. Returns 0 to go on or an errno value to stop.
using ChunkVisitor = std::function<int(std::uint64_t offset, const std::uint8_t* data, std::size_t length)>;

// Visits the file's first `size` bytes in order, in pieces of at most kChunkSize,
// asking keepGoing before each piece. 0, ECANCELED, ESTALE when the file ends
// before `size`, a read's errno, or what the visitor returned.
int readInChunks(int fd, std::uint64_t size, const KeepGoing& keepGoing, const ChunkVisitor& visit);

// Writes all `length` bytes at `offset`. 0 or the write's errno.
int writeFullyAt(int fd, const std::uint8_t* data, std::size_t length, std::uint64_t offset);

}  // namespace qelda

#endif
