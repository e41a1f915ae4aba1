// Packing of stored history: chunks give back every record byte for byte,
// refuse what does not belong in them, and decoders never read past a
// damaged blob; minute summaries keep each value's extremes in their order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "runtime/store/HistoryCodec.h"

namespace h = smd::history;

namespace {

using Bytes = std::vector<unsigned char>;

h::Entry entry(std::int64_t id, std::int64_t time, Bytes bytes, int unit_type = 5161) {
    h::Entry e;
    e.id = id;
    e.time = time;
    e.unit_type = unit_type;
    e.bytes = std::move(bytes);
    return e;
}

// A DC record (142 bytes) with its voltage and current.
Bytes dc(float v, float i) {
    Bytes b(142, 0);
    b[0] = 0x31;
    std::memcpy(&b[4], &v, 4);
    std::memcpy(&b[8], &i, 4);
    return b;
}

constexpr std::int64_t kMinute = 1796724000;  // a minute's start

}  // namespace

TEST(HistoryCodec, ChunksGiveBackEveryRecord) {
    std::mt19937 rng(7);
    auto random_bytes = [&](std::size_t n) {
        Bytes b(n);
        for (auto& c : b) c = static_cast<unsigned char>(rng());
        return b;
    };
    struct Case {
        const char* name;
        std::vector<h::Entry> records;
    };
    std::vector<Case> cases;
    {
        Case c{"values that change a little", {}};
        for (int k = 0; k < 30; ++k) {
            c.records.push_back(entry(10 + 3 * k, kMinute + 2 * k, dc(53.5f + k * 0.01f, 48.f)));
        }
        cases.push_back(c);
    }
    cases.push_back({"lengths and unit types change, empty and one-byte records",
                     {entry(1, kMinute, Bytes{}, 1), entry(2, kMinute, Bytes{0}, 1),
                      entry(3, kMinute + 1, Bytes(70, 0xAC), 2), entry(4, kMinute + 1, Bytes{}, 2),
                      entry(5, kMinute + 2, Bytes(130, 0xAC), -7),
                      entry(9, kMinute + 59, Bytes(130, 0xAD), -7)}});
    cases.push_back({"random bytes of every length",
                     {entry(1, kMinute, random_bytes(1)), entry(2, kMinute, random_bytes(300)),
                      entry(3, kMinute, random_bytes(300)), entry(4, kMinute, random_bytes(7)),
                      entry(5, kMinute, random_bytes(7))}});
    {
        // Unchanged runs of one, two, three bytes, at the start and the end.
        Bytes a(12, 0), b = a;
        for (std::size_t k : {0u, 2u, 5u, 6u, 9u}) b[k] = 1;
        cases.push_back({"short and long unchanged runs",
                         {entry(1, kMinute, a), entry(2, kMinute, b), entry(3, kMinute, a)}});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        h::ChunkEncoder enc;
        for (const h::Entry& e : c.records) ASSERT_TRUE(enc.Add(e));
        std::vector<h::Entry> back;
        ASSERT_TRUE(h::decode_chunk(enc.Blob().data(), enc.Blob().size(), enc.FirstId(),
                                    enc.FirstTime(), enc.LastId(),
                                    static_cast<std::int64_t>(enc.Count()), back));
        ASSERT_EQ(back.size(), c.records.size());
        for (std::size_t k = 0; k < back.size(); ++k) {
            EXPECT_EQ(back[k].id, c.records[k].id) << k;
            EXPECT_EQ(back[k].time, c.records[k].time) << k;
            EXPECT_EQ(back[k].unit_type, c.records[k].unit_type) << k;
            EXPECT_EQ(back[k].bytes, c.records[k].bytes) << k;
        }
    }
}

TEST(HistoryCodec, AChunkTakesOneMinuteInOrderAndIsBounded) {
    h::ChunkEncoder enc;
    ASSERT_TRUE(enc.Add(entry(5, kMinute + 30, dc(1, 1))));
    struct Case {
        const char* name;
        h::Entry e;
    };
    for (const Case& c : {Case{"the next minute", entry(6, kMinute + 60, dc(1, 1))},
                          Case{"the minute before", entry(6, kMinute - 1, dc(1, 1))},
                          Case{"a time before the last", entry(6, kMinute + 29, dc(1, 1))},
                          Case{"an id not above the last", entry(5, kMinute + 31, dc(1, 1))}}) {
        EXPECT_FALSE(enc.Add(c.e)) << c.name;
    }
    EXPECT_TRUE(enc.Add(entry(6, kMinute + 59, dc(1, 1))));
    EXPECT_EQ(enc.Minute(), kMinute);
    h::ChunkEncoder full;
    std::size_t n = 0;
    while (full.Add(entry(static_cast<std::int64_t>(n) + 1, kMinute, dc(1, 1)))) ++n;
    EXPECT_EQ(n, h::kChunkRecords);
    h::ChunkEncoder big;
    n = 0;
    while (big.Add(entry(static_cast<std::int64_t>(n) + 1, kMinute, Bytes(3000, n & 1 ? 1 : 2)))) {
        ++n;
    }
    EXPECT_EQ(n, 3u);  // stops once the chunk holds kChunkBytes
}

// Every cut and every changed byte of a valid chunk either decodes or is
// refused; the sanitizers see that nothing is read past the blob.
TEST(HistoryCodec, DamagedChunksAreRefusedWithoutReadingPastThem) {
    h::ChunkEncoder enc;
    for (int k = 0; k < 5; ++k) enc.Add(entry(1 + k, kMinute + k, dc(53.f + k, 48.f), 5161 + k));
    const Bytes good = enc.Blob();
    std::vector<h::Entry> out;
    for (std::size_t n = 0; n < good.size(); ++n) {
        out.clear();
        EXPECT_FALSE(h::decode_chunk(good.data(), n, 1, kMinute, 5, 5, out)) << "cut at " << n;
        EXPECT_TRUE(out.empty());
    }
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (unsigned char v : {0x00, 0x7F, 0x80, 0xFF}) {
            Bytes bad = good;
            bad[at] = v;
            out.clear();
            if (h::decode_chunk(bad.data(), bad.size(), 1, kMinute, 5, 5, out)) {
                EXPECT_EQ(out.size(), 5u);
            }
        }
    }
    struct Case {
        const char* name;
        Bytes blob;
    };
    {
        // A whole record, but not the count or last id the row gives.
        out.clear();
        EXPECT_FALSE(h::decode_chunk(good.data(), good.size(), 1, kMinute, 5, 4, out));
        EXPECT_FALSE(h::decode_chunk(good.data(), good.size(), 1, kMinute, 6, 5, out));
    }
    for (const Case& c :
         {Case{"empty", {}}, Case{"another format", {2, 3, 0, 0, 0, 0}}, Case{"no records", {1}},
          Case{"first record without its length", {1, 2, 0, 0, 0}},
          Case{"an id that does not rise", {1, 3, 0, 0, 0, 0, 1, 0, 0}},
          Case{"a length beyond the bound", {1, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}},
          Case{"an operation past the record", {1, 3, 0, 0, 0, 2, 1, 5, 9}},
          Case{"an operation that does not advance", {1, 3, 0, 0, 0, 2, 0, 0}},
          Case{"a varint of eleven bytes",
               {1, 3, 0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}}}) {
        out.clear();
        EXPECT_FALSE(h::decode_chunk(c.blob.data(), c.blob.size(), 1, kMinute, 1, 1, out))
            << c.name;
        EXPECT_TRUE(out.empty());
    }
}

TEST(HistoryCodec, MinuteSummariesKeepExtremesInTheirOrder) {
    const float nan = std::nanf("");
    struct Case {
        const char* name;
        std::vector<std::pair<float, float>> values;  // v, i per record
        h::MinuteValue::Shape v_shape, i_shape;
        float v_low, v_high, v_last;
    };
    using S = h::MinuteValue::Shape;
    for (const Case& c : {Case{"falling then rising",
                               {{53, 1}, {52, 1}, {54, 1}, {53.5f, 1}},
                               S::Rising,
                               S::Constant,
                               52,
                               54,
                               53.5f},
                          Case{"rising then falling",
                               {{53, 2}, {54, 3}, {52, 2}},
                               S::Falling,
                               S::Rising,
                               52,
                               54,
                               52},
                          Case{"one record", {{53, 2}}, S::Constant, S::Constant, 53, 53, 53},
                          Case{"a value never finite",
                               {{53, nan}, {54, INFINITY}},
                               S::Rising,
                               S::None,
                               53,
                               54,
                               54}}) {
        SCOPED_TRACE(c.name);
        h::MinuteBuilder b(true, smd::UnitKind::DC);
        std::int64_t id = 1;
        for (const auto& [v, i] : c.values) {
            b.Add(entry(id, kMinute + 2 + id, dc(v, i)));
            ++id;
        }
        b.Add(entry(id, kMinute + 40, Bytes(7, 0)));  // not a DC record
        h::MinuteSummary s = b.Take(kMinute, kMinute + 2, kMinute + 40);
        EXPECT_EQ(s.count, c.values.size() + 1);
        EXPECT_EQ(s.undecoded, 1u);
        EXPECT_EQ(s.first_offset, 2u);
        EXPECT_EQ(s.last_offset, 40u);
        ASSERT_EQ(s.names, (std::vector<std::string>{"v", "i"}));
        // Through the stored form and back.
        std::vector<std::string> names;
        ASSERT_TRUE(h::decode_layout(h::encode_layout(s.names), names));
        EXPECT_EQ(names, s.names);
        const Bytes blob = h::encode_minute(s);
        h::MinuteSummary back;
        ASSERT_TRUE(h::decode_minute(blob.data(), blob.size(), names.size(), back));
        EXPECT_EQ(back.values[0].shape, c.v_shape);
        EXPECT_EQ(back.values[1].shape, c.i_shape);
        EXPECT_EQ(back.values[0].low, c.v_low);
        EXPECT_EQ(back.values[0].high, c.v_high);
        EXPECT_EQ(back.values[0].last, c.v_last);
        for (std::size_t n = 0; n < blob.size(); ++n) {
            EXPECT_FALSE(h::decode_minute(blob.data(), n, names.size(), back)) << n;
        }
        EXPECT_FALSE(h::decode_minute(blob.data(), blob.size(), names.size() + 1, back));
    }
    std::vector<std::string> names;
    EXPECT_FALSE(h::decode_layout("v,,i", names));
    EXPECT_TRUE(h::decode_layout("", names));
    EXPECT_TRUE(names.empty());
}
