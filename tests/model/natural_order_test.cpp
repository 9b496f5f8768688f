#include "model/natural_order.h"

#include <gtest/gtest.h>

#include <string>

namespace brevant::ui {
namespace {

int Sign(int v) { return (v > 0) - (v < 0); }

struct Case {
  const char16_t* a;
  const char16_t* b;
  int expected;  // the sign of NaturalCompare(a, b)
};

TEST(NaturalOrderTest, Table) {
  const Case cases[] = {
      {u"file2", u"file10", -1},                 // digits by value, not character by character
      {u"file10", u"file2", 1},
      {u"file10.txt", u"file9.txt", 1},
      {u"a", u"a", 0},
      {u"", u"", 0},
      {u"", u"a", -1},
      {u"a", u"", 1},
      {u"file", u"file1", -1},                   // a prefix first
      {u"File2", u"file10", -1},                 // case does not decide the order
      {u"ABC", u"abc", 0},
      {u"b", u"A", 1},
      {u"file007", u"file7", 0},                 // leading zeros do not count
      {u"file007", u"file8", -1},
      {u"x0", u"x00", 0},
      {u"v1.10", u"v1.9", 1},                    // every digit run on its own
      {u"img 2 (3)", u"img 2 (12)", -1},
      {u"99999999999999999999999", u"100000000000000000000000", -1},  // longer than 64 bits
      {u"123456789012345678901", u"123456789012345678902", -1},
      {u"a1b", u"a1c", -1},
      {u"2", u"a", -1},                          // digits sort before letters, as in ASCII
      {u"Éclair", u"éclair", 0},                 // accented capitals fold too
      {u"ÉCLAIR 10", u"éclair 9", 1},
      {u"Отчёт 2", u"отчёт 10", -1},             // Cyrillic
      {u"ΑΛΦΑ", u"αλφα", 0},                     // Greek
      {u"Ŀ", u"ŀ", 0},                           // Latin Extended-A, odd capitals
      {u"Ā", u"ā", 0},                           // Latin Extended-A, even capitals
      {u"Ÿ", u"ÿ", 0},
      {u"Ｆｉｌｅ", u"ｆｉｌｅ", 0},                     // full-width Latin
      {u"日本2", u"日本10", -1},                  // other scripts compare by code unit
      {u"a-1", u"a1", -1},                       // what is no digit decides against a digit
      {u"a~", u"a1", 1},
      {u"a1", u"a1b", -1},
      {u"a1.txt", u"a01", 1},
      {u"x 2", u"x 2 ", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Sign(NaturalCompare(c.a, c.b)), c.expected) << "case " << (&c - cases);
    // The sort key orders the same way.
    EXPECT_EQ(Sign(NaturalKey(c.a).compare(NaturalKey(c.b))), c.expected) << "key " << (&c - cases);
  }
}

// The order is a strict weak ordering over a mixed set: sorting with it is consistent.
TEST(NaturalOrderTest, AntisymmetricAndTransitiveOverASample) {
  const std::u16string names[] = {u"a1",  u"A01", u"a2",   u"a10", u"a10b", u"b",
                                  u"B1",  u"",    u"10",   u"9",   u"x9y9", u"x9y10",
                                  u"x10", u"ä",   u"Ä1",   u"z",    u"a-1", u"a 1",
                                  u"a.1", u"a~1", u"a001b", u"a1.txt"};
  for (const auto& a : names)
    for (const auto& b : names) {
      EXPECT_EQ(Sign(NaturalCompare(a, b)), -Sign(NaturalCompare(b, a)));
      EXPECT_EQ(Sign(NaturalKey(a).compare(NaturalKey(b))), Sign(NaturalCompare(a, b)))
          << "keys of sample " << (&a - names) << " and " << (&b - names);
      for (const auto& c : names)
        if (NaturalCompare(a, b) < 0 && NaturalCompare(b, c) < 0) {
          EXPECT_LT(NaturalCompare(a, c), 0);
        }
    }
}

}  // namespace
}  // namespace brevant::ui
