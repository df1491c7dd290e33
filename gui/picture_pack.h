// The built-in pictures are kept in the program as one zlib stream (the dialog
// windows are large and flat) and unpacked by the first GuiLoadPictures.
#pragma once

#include <cstddef>
#include <cstdint>

// Inflates `packed` into exactly `size` bytes at `pixels`; false when there is no
// memory for the decompressor or the stream does not give exactly that.
bool gui_unpack_pictures(const std::uint8_t* packed, std::size_t packed_size, std::uint8_t* pixels,
                         std::size_t size);

// The built-in pictures' own stream into their pixels (generated with them).
bool gui_unpack_builtin_pictures();
