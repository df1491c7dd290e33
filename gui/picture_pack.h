// The built-in pictures are kept in the program as one zlib stream (the dialog
// windows are large and flat) and unpacked once when the program starts.
#pragma once

#include <cstddef>
#include <cstdint>

// Inflates `packed` into exactly `size` bytes at `pixels`; a stream that does not
// give exactly that ends the program, since no picture could be trusted.
bool gui_unpack_pictures(const std::uint8_t* packed, std::size_t packed_size, std::uint8_t* pixels,
                         std::size_t size);
