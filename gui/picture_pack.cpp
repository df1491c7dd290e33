#include "gui/picture_pack.h"

#include <libdeflate.h>

#include <memory>

bool gui_unpack_pictures(const std::uint8_t* packed, std::size_t packed_size, std::uint8_t* pixels,
                         std::size_t size) {
    std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    std::size_t actual = 0;
    return inflater != nullptr &&
           libdeflate_zlib_decompress(inflater.get(), packed, packed_size, pixels, size, &actual) ==
               LIBDEFLATE_SUCCESS &&
           actual == size;
}
