#include <gtest/gtest.h>

#include <cstring>

#include "package_builder.h"
#include "tuf/package_reader.h"

using namespace tuf_test;

TEST(LittleEndian, DecodesAndEncodesByteByByte) {
    const unsigned char bytes[4] = {0x04, 0x03, 0x02, 0x81};
    EXPECT_EQ(tuf::load_le32(bytes), 0x81020304u);
    unsigned char out[4];
    tuf::store_le32(out, 0x81020304u);
    EXPECT_EQ(std::memcmp(out, bytes, 4), 0);
}

TEST(FieldText, EndsAtTheFirstNulOrAtTheFieldsEnd) {
    const char terminated[8] = {'a', 'b', '\0', 'z', 'z', 'z', 'z', 'z'};
    const char full[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    EXPECT_EQ(tuf::field_text(terminated, 8), "ab");
    EXPECT_TRUE(tuf::field_terminated(terminated, 8));
    EXPECT_EQ(tuf::field_text(full, 8), "abcdefgh");
    EXPECT_FALSE(tuf::field_terminated(full, 8));
}

TEST(RecordCoding, RoundTripsEveryField) {
    ENTRYTUFFILE record{};
    std::memcpy(record.name, "/x", 3);
    record.type = 3;
    record.compressed = 1;
    record.size = 0x11223344u;
    record.packed_size = 0x55667788u;
    record.skip = 0x99aabbccu;
    unsigned char raw[tuf::record_size];
    tuf::encode_record(record, raw);
    EXPECT_EQ(raw[132], 0x44);
    EXPECT_EQ(raw[143], 0x99);
    ENTRYTUFFILE decoded{};
    tuf::decode_record(raw, decoded);
    EXPECT_EQ(std::memcmp(&decoded, &record, sizeof record), 0);
}

TEST(InflateCapacity, AddsTheSpareWithoutWrapping) {
    std::uint32_t small = 0;
    EXPECT_TRUE(tuf::inflate_capacity<std::uint32_t>(0xfffffdffu, small));
    EXPECT_EQ(small, 0xffffffffu);
    EXPECT_FALSE(tuf::inflate_capacity<std::uint32_t>(0xfffffe00u, small));
    EXPECT_FALSE(tuf::inflate_capacity<std::uint32_t>(0xffffffffu, small));
    std::uint64_t wide = 0;
    EXPECT_TRUE(tuf::inflate_capacity<std::uint64_t>(0xffffffffu, wide));
    EXPECT_EQ(wide, 0x1000001ffull);
}

TEST(EntryBuffer, LargeBuffersAreHugePageAligned) {
    tuf::EntryBuffer buffer;
    ASSERT_TRUE(buffer.reserve(5u << 20));
    EXPECT_TRUE(buffer.huge());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % (2u << 20), 0u);
    std::memset(buffer.data(), 1, 5u << 20);
}

TEST(EntryBuffer, IsReusedWhileCloseToTheNeed) {
    tuf::EntryBuffer buffer;
    ASSERT_TRUE(buffer.reserve(4u << 20));
    unsigned char* first = buffer.data();
    ASSERT_TRUE(buffer.reserve(4u << 20));
    EXPECT_EQ(buffer.data(), first);
    ASSERT_TRUE(buffer.reserve((4u << 20) - (512u << 10)));
    EXPECT_EQ(buffer.data(), first);
}

TEST(EntryBuffer, MuchLargerBufferIsGivenBack) {
    tuf::EntryBuffer buffer;
    ASSERT_TRUE(buffer.reserve(8u << 20));
    ASSERT_TRUE(buffer.reserve(4096));
    EXPECT_EQ(buffer.capacity(), 4096u);
    EXPECT_FALSE(buffer.huge());
    ASSERT_TRUE(buffer.reserve(100000));
    EXPECT_GE(buffer.capacity(), 100000u);
}

TEST(EntryBuffer, LimitMakesReservationFail) {
    tuf::set_buffer_limit_for_testing(1000);
    tuf::EntryBuffer buffer;
    EXPECT_TRUE(buffer.reserve(1000));
    EXPECT_FALSE(buffer.reserve(1001 + tuf::EntryBuffer::slack));
    tuf::set_buffer_limit_for_testing(static_cast<std::size_t>(-1));
}

namespace {

std::string write_package(const TempDir& dir, const PackageBuilder& builder) {
    builder.write(dir / "p.tuf");
    return dir / "p.tuf";
}

}  // namespace

TEST(EntryWalk, GivesEachRecordWithItsOffsetAndLength) {
    TempDir dir;
    const std::string path =
        write_package(dir, PackageBuilder().dir("/d").stored("/d/a", "abc", 2).compressed("/d/b", "bbbbbbbb"));
    tuf::PackageReader reader;
    ASSERT_TRUE(reader.open(path.c_str()));
    ASSERT_TRUE(reader.seek(160));
    tuf::Entry entry;
    ASSERT_EQ(tuf::next_entry(reader, entry).step, tuf::WalkStep::entry);
    EXPECT_EQ(entry.offset, 160u);
    EXPECT_TRUE(entry.is_directory());
    EXPECT_EQ(entry.name(), "/d");
    ASSERT_TRUE(tuf::finish_entry(reader, entry));

    ASSERT_EQ(tuf::next_entry(reader, entry).step, tuf::WalkStep::entry);
    EXPECT_EQ(entry.offset, 304u);
    EXPECT_EQ(entry.data_length(), 3u);
    tuf::EntryBuffers buffers;
    tuf::BufferSink content;
    ASSERT_EQ(tuf::copy_file_data(reader, entry, buffers, content), 0);
    EXPECT_EQ(std::string(content.bytes.begin(), content.bytes.end()), "abc");
    ASSERT_TRUE(tuf::finish_entry(reader, entry));

    ASSERT_EQ(tuf::next_entry(reader, entry).step, tuf::WalkStep::entry);
    EXPECT_EQ(entry.offset, 304u + 144 + 3 + 2);
    EXPECT_TRUE(entry.is_compressed());
    ASSERT_EQ(tuf::copy_file_data(reader, entry, buffers, content), 0);
    EXPECT_EQ(std::string(content.bytes.begin(), content.bytes.end()), "bbbbbbbb");

    const tuf::WalkResult end = tuf::next_entry(reader, entry);
    EXPECT_EQ(end.step, tuf::WalkStep::end);
    EXPECT_EQ(end.stray, 0u);
}

TEST(EntryWalk, ReportsStrayBytesOfAnIncompleteRecord) {
    TempDir dir;
    const std::string path = write_package(dir, PackageBuilder().raw(std::string(100, 's')));
    tuf::PackageReader reader;
    ASSERT_TRUE(reader.open(path.c_str()));
    ASSERT_TRUE(reader.seek(160));
    tuf::Entry entry;
    const tuf::WalkResult end = tuf::next_entry(reader, entry);
    EXPECT_EQ(end.step, tuf::WalkStep::end);
    EXPECT_EQ(end.stray, 100u);
}

TEST(EntryWalk, ReadErrorIsNotTheEnd) {
    TempDir dir;
    tuf::PackageReader reader;
    ASSERT_TRUE(reader.open(dir.path().c_str()));
    tuf::Entry entry;
    EXPECT_EQ(tuf::next_entry(reader, entry).step, tuf::WalkStep::read_error);
}

TEST(PackageReader, LargeReadsAndSkipsKeepThePosition) {
    TempDir dir;
    const std::string data = noise(600000);
    write_file(dir / "f", data);
    tuf::PackageReader reader;
    ASSERT_TRUE(reader.open((dir / "f").c_str()));
    char small[10];
    ASSERT_EQ(reader.read(small, 10), 10u);
    ASSERT_TRUE(reader.skip(5));
    std::string big(400000, '\0');
    ASSERT_EQ(reader.read(big.data(), big.size()), big.size());
    EXPECT_EQ(big, data.substr(15, 400000));
    EXPECT_EQ(reader.position(), 400015u);
    ASSERT_TRUE(reader.skip(1u << 30));
    EXPECT_EQ(reader.read(small, 10), 0u);
    EXPECT_FALSE(reader.failed());
    EXPECT_EQ(reader.file_size(), 600000u);
}
