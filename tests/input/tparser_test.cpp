#include "input/tparser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sentence_model.h"

namespace {

using Sentence = sentence_model::Sentence;
using Sentences = std::vector<Sentence>;

// The decode callback has no context argument: what it sees goes here.
Sentences delivered;
int oversized_fields = 0;

int record(BYTE* address, BYTE* data) {
    const std::size_t address_length = strnlen(reinterpret_cast<const char*>(address), 9);
    const std::size_t data_length = strnlen(reinterpret_cast<const char*>(data), 83);
    if (address_length > 8 || data_length > 82) ++oversized_fields;
    delivered.emplace_back(std::string(reinterpret_cast<const char*>(address), address_length),
                           std::string(reinterpret_cast<const char*>(data), data_length));
    return 1;
}

class Parser : public ::testing::Test {
protected:
    void SetUp() override {
        delivered.clear();
        oversized_fields = 0;
        tparser_init(&parser_, record);
    }

    Sentences parse(const std::string& bytes) {
        delivered.clear();
        EXPECT_EQ(0, tparser_parser(&parser_, reinterpret_cast<const BYTE*>(bytes.data()),
                                    static_cast<int>(bytes.size())));
        return delivered;
    }

    Sentences parse_bytewise(const std::string& bytes) {
        delivered.clear();
        for (char c : bytes) tparser_parser(&parser_, reinterpret_cast<const BYTE*>(&c), 1);
        return delivered;
    }

    tparser_t parser_{};
};

std::string with_checksum(const std::string& body) {
    unsigned x = 0;
    for (char c : body) x ^= static_cast<unsigned char>(c);
    char tail[4];
    std::snprintf(tail, sizeof tail, "%02X", x);
    return "$" + body + "*" + tail;
}

TEST_F(Parser, InitClearsTheRecordAndStoresTheCallback) {
    std::memset(&parser_, 0xA5, sizeof parser_);
    EXPECT_EQ(0, tparser_init(&parser_, record));
    EXPECT_EQ(0, parser_.state);
    EXPECT_EQ(0, parser_.count);
    EXPECT_EQ(0, parser_.checksum);
    EXPECT_EQ(0, parser_.rx_checksum);
    EXPECT_TRUE(std::all_of(std::begin(parser_.address), std::end(parser_.address), [](BYTE b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(std::begin(parser_.data), std::end(parser_.data), [](BYTE b) { return b == 0; }));
    EXPECT_EQ(&record, parser_.decode);
}

TEST_F(Parser, WorkedExampleWithChecksumIsDelivered) {
    EXPECT_EQ((Sentences{{"A", "B"}}), parse("$A,B*2F"));
}

TEST_F(Parser, WrongChecksumDropsTheSentenceSilently) {
    EXPECT_TRUE(parse("$A,B*2E\r\n").empty());
    EXPECT_EQ(0, parser_.state);
}

TEST_F(Parser, OneBytePerCallYieldsTheSameCallbacksAsOneCall) {
    const std::string stream = "noise" + with_checksum("GPGGA,1,2,3") + "\r\n!AIVDM,x\r\n$Q,*AB$A,B*2F\r\n$,\n$AB*12\r\n";
    Sentences whole = parse(stream);
    tparser_init(&parser_, record);
    EXPECT_EQ(whole, parse_bytewise(stream));
    EXPECT_FALSE(whole.empty());
}

TEST_F(Parser, TwoSentencesInOneChunkAreDeliveredInOrder) {
    EXPECT_EQ((Sentences{{"A", "B"}, {"C", "D"}}), parse("$A,B*2F\r\n$C,D\r\n"));
}

TEST_F(Parser, SentenceWithoutChecksumIsDeliveredOnceOnItsCarriageReturn) {
    EXPECT_TRUE(parse("$QXKBD,xyz").empty());
    EXPECT_EQ((Sentences{{"QXKBD", "xyz"}}), parse("\r"));
    EXPECT_TRUE(parse("\n").empty());
    EXPECT_EQ((Sentences{{"P", "q"}}), parse("$P,q\n"));
}

TEST_F(Parser, SentenceWithChecksumIsDeliveredOnItsSecondDigit) {
    const std::string sentence = with_checksum("QXKBD,xxx0140");
    EXPECT_TRUE(parse(sentence.substr(0, sentence.size() - 1)).empty());
    EXPECT_EQ((Sentences{{"QXKBD", "xxx0140"}}), parse(sentence.substr(sentence.size() - 1)));
    EXPECT_TRUE(parse("\r\n").empty());
}

TEST_F(Parser, LowerCaseChecksumIsNeverAccepted) {
    EXPECT_TRUE(parse("$A,B*2f\r\n").empty());
    EXPECT_TRUE(parse("$A,N*2f\r\n").empty());
}

TEST_F(Parser, CharactersUpToCapitalFCountAsDigitsByTheirArithmetic) {
    // "A,N" XORs to 0x23; ':' is worth 3 by the letter rule.
    EXPECT_EQ((Sentences{{"A", "N"}}), parse("$A,N*2:"));
    EXPECT_EQ((Sentences{{"A", "N"}}), parse("$A,N*23"));
}

TEST_F(Parser, DigitAboveCapitalFEndsTheSentence) {
    EXPECT_TRUE(parse("$A,B*G").empty());
    EXPECT_EQ(0, parser_.state);
    EXPECT_TRUE(parse("$A,B*2G").empty());
    EXPECT_EQ(0, parser_.state);
}

TEST_F(Parser, StarFollowedByLineEndReceivesDAAndIsNeverDelivered) {
    EXPECT_TRUE(parse("$A,B*\r\n").empty());
    EXPECT_EQ(0xDA, parser_.rx_checksum);
    EXPECT_EQ(0, parser_.state);
}

TEST_F(Parser, StarAfterTheAddressStartsTheDataAndIsFoldedIntoTheChecksum) {
    EXPECT_EQ((Sentences{{"AB", "12"}}), parse("$AB*12\r\n"));
    EXPECT_EQ(static_cast<uint8_t>('A' ^ 'B' ^ '*' ^ '1' ^ '2'), parser_.checksum);
}

TEST_F(Parser, LineEndInsideTheAddressIsStoredAsAnAddressCharacter) {
    EXPECT_TRUE(parse("$AB\r\n").empty());
    EXPECT_EQ(1, parser_.state);
    EXPECT_EQ((Sentences{{"AB\r\n", "X"}}), parse(",X\r\n"));
}

TEST_F(Parser, EmptyAddressAndEmptyDataAreDeliveredAsEmptyStrings) {
    EXPECT_EQ((Sentences{{"", ""}}), parse("$,\r\n"));
    EXPECT_EQ((Sentences{{"", ""}}), parse("!,*2C"));
}

TEST_F(Parser, AddressOfEightIsAcceptedAndOfNineDropped) {
    EXPECT_EQ((Sentences{{"ABCDEFGH", "d"}}), parse("$ABCDEFGH,d\r\n"));
    EXPECT_TRUE(parse("$ABCDEFGHI,d\r\n").empty());
    EXPECT_EQ(0, parser_.state);
    EXPECT_EQ('I', parser_.address[8]);
}

TEST_F(Parser, DataOfEightyTwoIsAcceptedAndOfEightyThreeDropped) {
    const std::string d82(82, 'x');
    EXPECT_EQ((Sentences{{"A", d82}}), parse("$A," + d82 + "\r\n"));
    EXPECT_EQ((Sentences{{"A", d82}}), parse(with_checksum("A," + d82)));
    EXPECT_TRUE(parse("$A," + d82 + "y\r\n").empty());
    EXPECT_EQ('y', parser_.data[82]);
    EXPECT_TRUE(parse(with_checksum("A," + d82 + "y")).empty());
}

TEST_F(Parser, StartCharacterInsideASentenceStartsANewOne) {
    EXPECT_EQ((Sentences{{"D", "E"}}), parse("$A,BC$D,E\r\n"));
    EXPECT_EQ((Sentences{{"C", "D"}}), parse("$A,B*2!C,D\n"));
    EXPECT_EQ((Sentences{{"C", "D"}}), parse("$A,B*$C,D\n"));
    EXPECT_EQ((Sentences{{"C", "D"}}), parse("$AB!C,D\n"));
}

TEST_F(Parser, ControlOrHighByteAnywhereDropsTheSentence) {
    for (char bad : {'\t', '\0', '\x01', static_cast<char>(0x80), static_cast<char>(0xFF)}) {
        for (std::size_t at : {1u, 3u, 5u, 7u}) {
            std::string checked = with_checksum("A,BC");
            checked.insert(at, 1, bad);
            EXPECT_TRUE(parse(checked + "\r\n").empty()) << "byte " << int(static_cast<unsigned char>(bad)) << " at " << at;
            EXPECT_EQ(0, parser_.state);
        }
    }
    EXPECT_EQ((Sentences{{"A", "B\x7F"}}), parse("$A,B\x7F\r\n"));  // DEL is an ordinary character
}

TEST_F(Parser, ZeroLengthCallChangesNothing) {
    parse("$QXKBD,xx");
    const tparser_t before = parser_;
    const BYTE unused = '$';
    EXPECT_EQ(0, tparser_parser(&parser_, &unused, 0));
    EXPECT_EQ(0, std::memcmp(&before, &parser_, sizeof parser_));
}

TEST_F(Parser, ShorterSentenceLeavesTheBytesBehindItsNul) {
    parse("$ABCDEF,0123456789\r\n");
    EXPECT_EQ((Sentences{{"X", "ab"}}), parse("$X,ab\r\n"));
    EXPECT_EQ(0, std::memcmp(parser_.data, "ab\0" "3456789", 10));
    EXPECT_EQ(0, std::memcmp(parser_.address, "X\0CDEF", 6));
}

TEST_F(Parser, StreamsAgreeWithTheModelInAnyChunking) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> byte(0, 255);
    const std::string alphabet = "$!,*\r\nQXKBD0123456789ABCDEFGabcdef:\t\x80";
    for (int round = 0; round < 300; ++round) {
        std::string stream;
        int length = 1 + byte(random) % 200;
        for (int i = 0; i < length; ++i)
            stream += alphabet[static_cast<std::size_t>(byte(random)) % alphabet.size()];
        tparser_init(&parser_, record);
        Sentences whole = parse(stream);
        ASSERT_EQ(sentence_model::sentences(stream), whole) << "stream " << ::testing::PrintToString(stream);
        tparser_init(&parser_, record);
        ASSERT_EQ(whole, parse_bytewise(stream));
    }
}

// The receivers' logs: real NMEA and AIS streams, some mixed with binary data.
std::vector<std::filesystem::path> corpus_logs() {
    std::vector<std::filesystem::path> logs;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(NMEA_CORPUS_DIR, error))
        if (entry.path().extension() == ".log") logs.push_back(entry.path());
    std::sort(logs.begin(), logs.end());
    return logs;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST_F(Parser, EveryCorpusLogYieldsTheModelsSentencesInEveryChunking) {
    const auto logs = corpus_logs();
    if (logs.empty()) GTEST_SKIP() << "no receiver logs at " << NMEA_CORPUS_DIR;
    std::mt19937 random(7);
    std::size_t total = 0;
    for (const auto& log : logs) {
        SCOPED_TRACE(log.filename().string());
        const std::string bytes = read_file(log);
        const Sentences expected = sentence_model::sentences(bytes);

        tparser_init(&parser_, record);
        ASSERT_EQ(expected, parse(bytes));

        tparser_init(&parser_, record);
        ASSERT_EQ(expected, parse_bytewise(bytes));

        tparser_init(&parser_, record);
        delivered.clear();
        for (std::size_t at = 0; at < bytes.size();) {
            std::size_t size = std::min<std::size_t>(bytes.size() - at, 1 + random() % 63);
            tparser_parser(&parser_, reinterpret_cast<const BYTE*>(bytes.data() + at), static_cast<int>(size));
            at += size;
        }
        ASSERT_EQ(expected, delivered);
        total += expected.size();
    }
    EXPECT_EQ(0, oversized_fields);
    EXPECT_GT(total, 10000u);  // the logs are mostly well-formed sentences
}

TEST(ParserPreconditions, NullArgumentsOrNegativeLengthStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    tparser_t parser;
    EXPECT_DEATH(tparser_init(nullptr, record), "tparserp");
    EXPECT_DEATH(tparser_init(&parser, nullptr), "decode");
    tparser_init(&parser, record);
    const BYTE byte = 'x';
    EXPECT_DEATH(tparser_parser(nullptr, &byte, 1), "tparserp");
    EXPECT_DEATH(tparser_parser(&parser, nullptr, 1), "str");
    EXPECT_DEATH(tparser_parser(&parser, &byte, -1), "len >= 0");
}

}  // namespace
