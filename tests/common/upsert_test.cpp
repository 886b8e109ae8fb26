// Marked upserts: reading a mark never reaches outside the statement, and only well-formed
// marks are merged.
#include "vt_upsert.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kHead = "INSERT INTO s.t(  k1,  k2,  a,  b) VALUES";
const std::string kRow = "( 1,2,'x)(',NULL)";
const std::string kTail = " ON DUPLICATE KEY UPDATE a='x)(', b=NULL";

TEST(Upsert, MarkRoundTripsAndRowsMergeInOrder)
{
    const std::string stmt = vt::marked_upsert(2, kHead, kRow, kTail);
    EXPECT_EQ(stmt, "/*vt-upsert 2 " + std::to_string(kHead.size()) + " " + std::to_string(kRow.size()) + "*/" +
                        kHead + kRow + kTail);
    vt::UpsertRow r;
    ASSERT_TRUE(vt::parse_upsert(stmt, &r));
    EXPECT_EQ(r.keys, 2);
    EXPECT_EQ(std::string(r.head), kHead);
    EXPECT_EQ(std::string(r.row), kRow);
    EXPECT_EQ(std::string(vt::upsert_table(r.head)), "INSERT INTO s.t");
    EXPECT_EQ(vt::merged_upsert(r.head, r.keys, {r.row, "( 1,2,'y',3)"}),
              kHead + kRow + ",( 1,2,'y',3) ON DUPLICATE KEY UPDATE a=VALUES(a),b=VALUES(b)");
}

// Each of these is run as the plain statement it is, never merged.
TEST(Upsert, MalformedMarksAreNotRead)
{
    const std::string body = kHead + kRow + kTail;
    const size_t h = kHead.size(), r = kRow.size();
    auto mark = [&](const std::string &numbers) { return "/*vt-upsert " + numbers + "*/" + body; };
    const std::vector<std::string> cases = {
        body,                                                                  // no mark
        "/* vt-upsert 2 1 1*/" + body,                                         // another comment
        mark("2 " + std::to_string(h) + " " + std::to_string(body.size())),    // row beyond the end
        mark("2 " + std::to_string(body.size() + 1) + " 2"),                   // head beyond the end
        mark("2 99999999999999999999 2"),                                      // a number that would wrap
        mark("2 " + std::to_string(h - 1) + " " + std::to_string(r)),          // head cut before VALUES
        mark("2 " + std::to_string(h) + " " + std::to_string(r - 1)),          // row cut before its ")"
        mark("0 " + std::to_string(h) + " " + std::to_string(r)),              // no key column
        mark("2 " + std::to_string(h) + " " + std::to_string(r)).substr(0, 25),  // statement cut in the mark
        "/*vt-upsert 2 " + std::to_string(h) + " " + std::to_string(r) + "*",    // mark never closed
    };
    for (const std::string &c : cases) {
        vt::UpsertRow row;
        EXPECT_FALSE(vt::parse_upsert(c, &row)) << c;
    }
    // Heads whose columns are not plain names, or that leave nothing to update, give no merge.
    for (const std::string &head : {std::string("INSERT INTO t(a, b+1) VALUES"), std::string("INSERT INTO t(a) VALUES"),
                                    std::string("INSERT INTO t VALUES"), std::string("INSERT INTO t(a,,b) VALUES")})
        EXPECT_EQ(vt::merged_upsert(head, 1, {"(1,2)", "(3,4)"}), "") << head;
}

// With the order column, every column is guarded by the row's old order and the order column
// is assigned last (the server assigns left to right, later ones seeing the new values); the
// single statement's tail and the merged statement share that list.
TEST(Upsert, OrderedRowsCompareAgainstTheOldOrderFirst)
{
    const std::string head = "INSERT INTO s.t( k, event_usec, a) VALUES";
    const std::string list = "a=IF(event_usec<=VALUES(event_usec),VALUES(a),a),"
                             "event_usec=GREATEST(event_usec,VALUES(event_usec))";
    EXPECT_EQ(vt::upsert_tail(head, 1), " ON DUPLICATE KEY UPDATE " + list + ";");
    EXPECT_EQ(vt::merged_upsert(head, 1, {"(1,5,'x')", "(1,4,'y')"}),
              head + "(1,5,'x'),(1,4,'y') ON DUPLICATE KEY UPDATE " + list);
    EXPECT_EQ(vt::upsert_tail("INSERT INTO s.t( k, a) VALUES", 1), " ON DUPLICATE KEY UPDATE a=VALUES(a);");
    EXPECT_EQ(vt::upsert_tail("INSERT INTO s.t( k) VALUES", 1), "");
}

}  // namespace
