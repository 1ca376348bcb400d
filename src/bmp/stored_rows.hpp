// The stored rows of a BMP file, in file order. From a caller's stream each row is one
// read(rowStride), as the stream sees it; from a file the module opened itself nobody sees the
// reads, so the rows come a large piece at a time into one staging buffer, which spares a
// system call and an allocation per row. Either way the same rows arrive, the first short one
// fails the same way, and memory follows the rows actually read.
#pragma once

#include <cstdint>

#include "runtime/buffer.hpp"

namespace si::bmp {

class StoredRows {
public:
    // `rows` rows of `rowStride` (> 0) bytes; `ownFile`: the stream is the module's own file.
    StoredRows(PyObject* stream, int64_t rowStride, int64_t rows, bool ownFile) noexcept
        : stream_(stream), rowStride_(rowStride), bulk_(ownFile), last_(rows - 1) {}

    // Reads no further than row `last`, one the caller will refuse once it is read.
    void stopAfter(int64_t last) noexcept { last_ = last < last_ ? last : last_; }

    // The next row's rowStride bytes, or null with an error set: the stream's own, a row read
    // that is not bytes (TypeError), or a short row ("Incomplete BMP pixel data").
    const uint8_t* next() noexcept;

private:
    const uint8_t* nextRead() noexcept;
    const uint8_t* nextPiece() noexcept;
    bool fill() noexcept;

    PyObject* stream_;
    int64_t rowStride_;
    bool bulk_;
    int64_t last_;       // the last row that may be read
    int64_t row_ = 0;    // rows handed out so far
    Ref count_;          // rowStride as an int, for read()
    Ref current_;        // the row read last (per-row reads)
    Ref staging_;        // bytearray of whole rows (pieces)
    Ref view_;           // a memoryview of staging_, sliced for readinto
    BufferView pin_;     // staging_ exported: unlike view_, no Python code can release it
    int64_t ready_ = 0;  // rows in the staging buffer
    int64_t used_ = 0;   // of them, rows handed out
    bool ended_ = false; // the file gave less than asked: nothing more will come
};

}  // namespace si::bmp
