// Fuzzes the package check and the shared entry reader: header, walk, data
// loading and inflation. Nothing is written outside the one input file.
#include <cstdint>
#include <cstdio>

#include "fuzz_package_file.h"
#include "tuf/package_reader.h"
#include "tuf/ttuf.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tuf::set_buffer_limit_for_testing(std::size_t{256} << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static tuf_fuzz::InputFile input;
    const char* path = input.write(data, size);
    HEADTUFFILE header;
    if (tuf_is_tuf_file(path, &header) != 0) return 0;

    tuf::PackageReader reader;
    if (!reader.open(path) || header.data_offset >= tuf::max_data_offset || !reader.seek(header.data_offset)) return 0;
    tuf::EntryBuffers buffers;
    tuf::Entry entry;
    std::uint64_t last_offset = 0;
    bool first = true;
    while (tuf::next_entry(reader, entry).step == tuf::WalkStep::entry) {
        // The walk only moves forward.
        if (!first && entry.offset <= last_offset) __builtin_trap();
        first = false;
        last_offset = entry.offset;
        if (entry.name().size() > sizeof entry.record.name) __builtin_trap();
        if (!entry.is_directory()) {
            tuf::BufferSink content;
            if (tuf::copy_file_data(reader, entry, buffers, content) != 0) break;
            // Whatever way the data took, a file comes out at its record's size.
            if (content.bytes.size() != entry.record.size) __builtin_trap();
        }
        if (!tuf::finish_entry(reader, entry)) break;
    }
    return 0;
}
