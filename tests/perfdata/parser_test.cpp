// Performance-data parser, label cleaning, quote removal and the length cut, without a database.
#include "vt_perfdata.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

using Opt = std::optional<std::string>;

struct Parsed {
    std::string label;
    Opt value, unit, warning, critical, min, max, baseline, lower, upper;
};

Opt take(const char *s) { return s ? Opt(s) : std::nullopt; }

void collect(perf_metric *m, void *context)
{
    auto *out = static_cast<std::vector<Parsed> *>(context);
    out->push_back({m->label, take(m->value), take(m->unit), take(m->warning), take(m->critical), take(m->min),
                    take(m->max), take(m->baseline), take(m->lower_limit), take(m->upper_limit)});
}

std::vector<Parsed> parse(const std::string &text, int *result = nullptr)
{
    std::vector<Parsed> out;
    int r = vt_parse_perfdata(text.c_str(), collect, &out);
    if (result)
        *result = r;
    return out;
}

std::string cleaned(const char *in)
{
    char *out = nullptr;
    vt_replace_backslashes(in, &out);
    std::string s = out ? out : "<null>";
    std::free(out);
    return s;
}

TEST(PerfdataParser, TypicalMetricsAndTheirMembers)
{
    int r = 0;
    auto m = parse("load1=0.5;5;10;0 load5=0.3;4;8;0", &r);
    EXPECT_EQ(r, 1);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].label, "load1");
    EXPECT_EQ(m[0].value, "0.5");
    EXPECT_EQ(m[0].unit, "");
    EXPECT_EQ(m[0].warning, "5.000");
    EXPECT_EQ(m[0].critical, "10.000");
    EXPECT_EQ(m[0].min, "0.000");
    EXPECT_EQ(m[0].max, std::nullopt);
    EXPECT_EQ(m[1].label, "load5");
    EXPECT_EQ(m[1].value, "0.3");
    EXPECT_EQ(m[1].critical, "8.000");

    m = parse("'disk /'=45%;80;90;0;100");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].label, "disk /");
    EXPECT_EQ(m[0].value, "45");
    EXPECT_EQ(m[0].unit, "%");
    EXPECT_EQ(m[0].max, "100.000");

    m = parse("time=12ms");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].value, "12");
    EXPECT_EQ(m[0].unit, "ms");
    for (const Opt &o : {m[0].warning, m[0].critical, m[0].min, m[0].max, m[0].baseline, m[0].lower, m[0].upper})
        EXPECT_EQ(o, std::nullopt);

    // All eight fields; empty fields stay absent; a ninth field ends the metric unread.
    m = parse("rta=1.5ms;;200;0;;7;-2.5;3e2;99 pl=0%");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].warning, std::nullopt);
    EXPECT_EQ(m[0].critical, "200.000");
    EXPECT_EQ(m[0].max, std::nullopt);
    EXPECT_EQ(m[0].baseline, "7.000");
    EXPECT_EQ(m[0].lower, "-2.500");
    EXPECT_EQ(m[0].upper, "300.000");
    EXPECT_EQ(m[1].label, "pl");
}

// Only whole decimal numbers pass: a value that is not one stops the text like a value outside
// the value class; a threshold or limit that is not one (a range, a word, "1.2.3") is absent.
TEST(PerfdataParser, NumbersMustBeWhole)
{
    struct Case {
        const char *text;
        Opt value, unit, warning;
    };
    const Case cases[] = {
        {"a=.", {}, {}, {}},          {"a=-", {}, {}, {}},           {"a=..", {}, {}, {}},
        {"a=1.2.3", {}, {}, {}},      {"a=1-2ms", {}, {}, {}},       {"a=--1", {}, {}, {}},
        {"a=-.5", "-.5", "", {}},     {"a=5.s", "5.", "s", {}},      {"a=x12.5xyz", "12.5", "xyz", {}},
        {"a=1;10:20", "1", "", {}},   {"a=1;~:10", "1", "", {}},     {"a=1;@1:2", "1", "", {}},
        {"a=1;1.2.3", "1", "", {}},   {"a=1;.", "1", "", {}},        {"a=1;-", "1", "", {}},
        {"a=1;abc", "1", "", {}},     {"a=1;0x10", "1", "", {}},     {"a=1;5e", "1", "", {}},
        {"a=1;+5", "1", "", "5.000"}, {"a=1;-2.5", "1", "", "-2.500"}, {"a=1;1.5e-3", "1", "", "0.002"},
        {"a=1;7.", "1", "", "7.000"}, {"a=1;.25", "1", "", "0.250"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        int r = 0;
        auto m = parse(std::string(c.text) + " b=2", &r);
        if (!c.value) {
            EXPECT_TRUE(m.empty());
            EXPECT_EQ(r, -2);
            continue;
        }
        ASSERT_EQ(m.size(), 2u);
        EXPECT_EQ(m[0].value, c.value);
        EXPECT_EQ(m[0].unit, c.unit);
        EXPECT_EQ(m[0].warning, c.warning);
    }
    // Every numeric member, not only the warning.
    auto m = parse("a=1;1:2;x;3:4;..;5-6;-;1.2.3");
    ASSERT_EQ(m.size(), 1u);
    for (const Opt &o : {m[0].warning, m[0].critical, m[0].min, m[0].max, m[0].baseline, m[0].lower, m[0].upper})
        EXPECT_EQ(o, std::nullopt);
}

// A label cut at its byte limit never ends in part of a UTF-8 character.
TEST(PerfdataParser, LabelCutKeepsWholeCharacters)
{
    struct Case {
        size_t before;     // ASCII bytes before the character
        const char *chr;   // the character
        size_t kept;       // bytes of the label kept
    };
    const Case cases[] = {
        {73, "\xc3\xa9", 73},         {72, "\xc3\xa9", 74},         {73, "\xe2\x82\xac", 73},
        {72, "\xe2\x82\xac", 72},     {71, "\xe2\x82\xac", 74},     {71, "\xf0\x9f\x98\x80", 71},
        {72, "\xf0\x9f\x98\x80", 72}, {73, "\xf0\x9f\x98\x80", 73}, {70, "\xf0\x9f\x98\x80", 74},
        {74, "\xc3\xa9", 74},
    };
    for (const Case &c : cases) {
        std::string label = std::string(c.before, 'a') + c.chr + std::string(10, 'z');
        SCOPED_TRACE(c.before);
        auto m = parse(label + "=1");
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m[0].label, label.substr(0, c.kept));
    }
    // Bytes that are not UTF-8 are cut where the limit falls.
    auto m = parse(std::string(70, 'a') + std::string(10, '\x80') + "=1");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].label, std::string(70, 'a') + std::string(4, '\x80'));
}

TEST(PerfdataParser, NonNumericValueStopsTheWholeText)
{
    int r = 0;
    EXPECT_TRUE(parse("a=U;1;2 b=3", &r).empty());
    EXPECT_EQ(r, -2);
    auto m = parse("a=1 b=U c=3", &r);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].label, "a");
    EXPECT_EQ(r, -2);
    EXPECT_TRUE(parse("a= b=1", &r).empty());
    EXPECT_EQ(r, -2);
    EXPECT_TRUE(parse("no metrics here", &r).empty());
    EXPECT_EQ(r, -2);
    // Characters before the numeric run are dropped, the rest is the unit.
    m = parse("t=abc12.5xyz");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].value, "12.5");
    EXPECT_EQ(m[0].unit, "xyz");
}

TEST(PerfdataParser, ValueClassHoldsOnlyDigitsPointAndMinus)
{
    auto m = parse("x=1\\ y=-2.5\\\\s z=3");
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].value, "1");
    EXPECT_EQ(m[0].unit, "\\");
    EXPECT_EQ(m[1].value, "-2.5");
    EXPECT_EQ(m[1].unit, "\\\\s");
    EXPECT_EQ(m[2].value, "3");
    // A value made of backslashes only is no value.
    EXPECT_TRUE(parse("x=\\\\").empty());
}

TEST(PerfdataParser, NonFiniteNumbersAreAbsent)
{
    auto m = parse("m=1;inf;nan;1e999;-INFINITY;5;-1e400;NaN(0x1)");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].warning, std::nullopt);
    EXPECT_EQ(m[0].critical, std::nullopt);
    EXPECT_EQ(m[0].min, std::nullopt);
    EXPECT_EQ(m[0].max, std::nullopt);
    EXPECT_EQ(m[0].baseline, "5.000");
    EXPECT_EQ(m[0].lower, std::nullopt);
    EXPECT_EQ(m[0].upper, std::nullopt);
    // Large finite numbers are written out in full.
    m = parse("m=1;1e300");
    ASSERT_EQ(m.size(), 1u);
    ASSERT_TRUE(m[0].warning);
    EXPECT_EQ(m[0].warning->size(), 301u + 4u);
}

TEST(PerfdataParser, Labels)
{
    // Later labels start after the first blank following the previous "=", less leading
    // blanks, control bytes and bytes above 127.
    auto m = parse("  a=1   b c=2 \x01\x80\xff" "d=3\te=4");
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].label, "a");
    EXPECT_EQ(m[1].label, "b c");
    EXPECT_EQ(m[2].label, "d");
    EXPECT_EQ(m[2].value, "3");
    EXPECT_EQ(m[2].unit, "\te=4");  // tab and "=" are part of the field, not separators

    // Cut to 74 bytes before cleaning.
    std::string longlabel(120, 'L');
    m = parse(longlabel + "=7");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].label, std::string(74, 'L'));

    // Quotes and control bytes dropped, backslashes doubled (the label goes into SQL as is),
    // double quotes kept.
    m = parse("'C:\\ used \"x\"'=5 a\\=1");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].label, "C:\\\\ used \"x\"");
    EXPECT_EQ(m[1].label, "a\\\\");

    // A label that is only blanks is skipped, parsing goes on.
    int r = 0;
    m = parse("' '=1 b=2", &r);
    ASSERT_EQ(m.size(), 2u);  // "' '" is not blank: it becomes " " after cleaning
    m = parse("x=1 \x02=2 y=3", &r);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].label, "y");
}

TEST(PerfdataParser, ReplaceBackslashesAndRemoveQuote)
{
    EXPECT_EQ(cleaned(nullptr), "<null>");
    EXPECT_EQ(cleaned(""), "");
    EXPECT_EQ(cleaned("a'b\x01\x1f" "c\\d\"e"), "abc\\\\d\"e");
    EXPECT_EQ(cleaned("end\\"), "end\\\\");
    // When doubling fills the buffer (input length + 100), the result never ends in an
    // unpaired backslash: that one becomes a space.
    std::string many(150, '\\');
    std::string out = cleaned(many.c_str());
    ASSERT_EQ(out.size(), 249u);
    EXPECT_EQ(out.back(), ' ');
    EXPECT_EQ(out.find_first_not_of('\\'), 248u);

    char q[] = "'it''s' \"quoted\" unit";
    vt_remove_quote(q);
    EXPECT_STREQ(q, "its quoted unit");
    vt_remove_quote(nullptr);
    char only[] = "'\"'";
    vt_remove_quote(only);
    EXPECT_STREQ(only, "");
}

TEST(PerfdataParser, LengthCut)
{
    EXPECT_EQ(vt_perfdata_cut("a=1;2"), "a=1;2");
    std::string exact(VT_PERFDATA_MAX_TEXT, 'x');
    EXPECT_EQ(vt_perfdata_cut(exact.c_str()), exact);

    // Cut inside a label: the text ends at the blank before that metric.
    std::string head = "a=1;2;3 ";
    std::string text = head + std::string(VT_PERFDATA_MAX_TEXT, 'b') + "=5";
    EXPECT_EQ(vt_perfdata_cut(text.c_str()), "a=1;2;3");

    // Cut after a ";" of the last metric: it keeps the fields before the cut.
    std::string pad(VT_PERFDATA_MAX_TEXT - 12, 'p');
    text = pad + "=1 zz=9;8;765432 yy=1";
    std::string cut = vt_perfdata_cut(text.c_str());
    EXPECT_EQ(cut.size(), static_cast<size_t>(VT_PERFDATA_MAX_TEXT));
    EXPECT_EQ(cut.substr(cut.size() - 10), " zz=9;8;76");

    // No ";" at positions 1 and later: the text stays at the cut length.
    text = std::string(VT_PERFDATA_MAX_TEXT + 50, 'n');
    text[0] = ';';
    EXPECT_EQ(vt_perfdata_cut(text.c_str()).size(), static_cast<size_t>(VT_PERFDATA_MAX_TEXT));

    // Tabs count as blanks for the cut.
    text = std::string(VT_PERFDATA_MAX_TEXT - 5, 'q') + ";1\tab;cd" + std::string(20, 'r');
    EXPECT_EQ(vt_perfdata_cut(text.c_str()), std::string(VT_PERFDATA_MAX_TEXT - 5, 'q') + ";1");
}

// Every metric the parser hands out, whatever the input, is within bounds and safe to write.
void check_metric(const Parsed &m)
{
    EXPECT_FALSE(m.label.empty());
    EXPECT_LE(m.label.size(), 2u * 74u);
    for (char c : m.label) {
        EXPECT_NE(c, '\'');
        EXPECT_FALSE(c >= 1 && c <= 31);
    }
    size_t run = m.label.size() - std::min(m.label.size(), m.label.find_last_not_of('\\') + 1);
    EXPECT_EQ(run % 2, 0u) << m.label;
    ASSERT_TRUE(m.value);
    static const std::regex number("-?([0-9]+\\.?[0-9]*|\\.[0-9]+)");
    EXPECT_TRUE(std::regex_match(*m.value, number)) << *m.value;
    ASSERT_TRUE(m.unit);
    for (const Opt &o : {m.warning, m.critical, m.min, m.max, m.baseline, m.lower, m.upper}) {
        if (!o)
            continue;
        EXPECT_EQ(o->find_first_not_of("0123456789.-"), std::string::npos) << *o;
        ASSERT_GE(o->size(), 5u);
        EXPECT_EQ((*o)[o->size() - 4], '.');
    }
}

TEST(PerfdataParser, GarbageIsSafe)
{
    std::mt19937 rng(12345);
    std::vector<std::string> inputs = {
        "", "=", "==", std::string(9000, '='), std::string(9000, 'x'), std::string(9000, ' '),
        "=1", " =1", "a=", "a=;", "a=1;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;;",
        "a=1 " + std::string(9000, 'b'), std::string(20000, 'L') + "=1;2;3",
        "a=" + std::string(20000, '9') + "x;" + std::string(20000, '8'),
        "a=1;" + std::string(20000, ';') + " b=2",
        "\xc3\x28=1 \xa0\xa1=2 \xf0\x28\x8c\x28=3;\xff;\xfe",
        "a=-;-;-- b=.;.;. c=--1.2.3-;1e-400;0x1p4",
    };
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "m" + std::to_string(i) + "=" + std::to_string(i) + "ms;1;2;0;100 ";
    inputs.push_back(many);
    for (int i = 0; i < 300; ++i) {
        std::string s(rng() % 3000, '\0');
        for (char &c : s) {
            c = static_cast<char>(rng() % 256);
            if (c == '\0')
                c = '=';
        }
        inputs.push_back(s);
    }
    const char alphabet[] = "=; .-0123456789'\"\\\tab\x01\xff";
    for (int i = 0; i < 300; ++i) {
        std::string s(rng() % 500, 'a');
        for (char &c : s)
            c = alphabet[rng() % (sizeof alphabet - 1)];
        inputs.push_back(s);
    }
    size_t metrics = 0;
    for (const std::string &in : inputs) {
        auto parsed = parse(in);
        metrics += parsed.size();
        for (const Parsed &m : parsed)
            check_metric(m);
    }
    EXPECT_EQ(parse(many).size(), 5000u);
    EXPECT_GT(metrics, 5000u);

    // Buffers of exactly the input's size, with nothing after them, are read no further.
    for (const std::string &in : inputs) {
        std::unique_ptr<char[]> tight(new char[in.size() + 1]);
        std::memcpy(tight.get(), in.c_str(), in.size() + 1);
        std::vector<Parsed> out;
        vt_parse_perfdata(tight.get(), collect, &out);
        std::string cut = vt_perfdata_cut(tight.get());
        EXPECT_LE(cut.size(), static_cast<size_t>(VT_PERFDATA_MAX_TEXT));
    }
    EXPECT_EQ(vt_parse_perfdata(nullptr, collect, nullptr), -2);
}

}  // namespace
