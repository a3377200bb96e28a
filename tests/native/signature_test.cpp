#include "manifest/signature.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "manifest/fetch_manifest_rules.h"
#include "manifest/manifest_choice.h"

namespace {

const char kLine[] =
    "realmporter-sig-v1 ecdsa-p256-sha256 0123456789abcdef "
    "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+Pw==\n";

TEST(Signature, LineRoundTrips) {
  SignatureLine line;
  ASSERT_TRUE(ParseSignatureLine(kLine, &line));
  EXPECT_EQ(line.keyId, "0123456789abcdef");
  for (int i = 0; i < 64; ++i) EXPECT_EQ(line.rs[i], i);
  EXPECT_EQ(FormatSignatureLine(line), kLine);
}

TEST(Signature, AnyOtherFormIsRefused) {
  const std::string good = kLine;
  const std::string body = good.substr(0, good.size() - 1);
  SignatureLine line;
  for (const std::string& bad : {
           body,                                                       // no line feed
           body + "\r\n",                                              // CR LF
           good + "x",                                                 // more after the line
           "realmporter-sig-v2" + good.substr(18),                     // another format tag
           good.substr(0, 37) + "0123456789ABCDEF" + good.substr(53),  // upper-case key id
           good.substr(0, 37) + "0123456789abcde " + good.substr(53),  // short key id
           good.substr(0, 54) + good.substr(58),                       // 63 bytes of signature
           good.substr(0, good.size() - 4) + "x==\n",                  // bits under the padding
           good.substr(0, good.size() - 5) + "Pw=A\n",                 // padding in the middle
           good.substr(0, 54) + "!" + good.substr(55),                 // not base64
       })
    EXPECT_FALSE(ParseSignatureLine(bad, &line)) << bad;
}

TEST(Signature, Base64) {
  std::string out;
  for (const char* s : {"", "f", "fo", "foo", "foob", "fooba", "foobar"}) {
    ASSERT_TRUE(Base64Decode(Base64Encode(s), &out)) << s;
    EXPECT_EQ(out, s);
  }
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_TRUE(Base64Decode("Zg==", &out));
  for (const char* bad : {
           "Zm9=",      // bits under one '='
           "Zh==",      // bits under two '='
           "Z===",      // three '='
           "====",      // nothing but padding
           "Zg==Zg==",  // padding before the last group
           "Zg=",       // not whole groups
           "Zm9vYg",    // padding left out
       })
    EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
  EXPECT_FALSE(Base64Decode(std::string_view("Zm9vYmFy").substr(0, 6), &out)) << "nothing read past the text";
}

TEST(Signature, DigestFromHex) {
  Sha256Digest d;
  ASSERT_TRUE(DigestFromHex(std::string(62, '0') + "Ff", &d));
  EXPECT_EQ(d[31], 0xff);
  EXPECT_FALSE(DigestFromHex(std::string(63, '0') + "g", &d));
  for (size_t length : {0, 62, 63, 65, 66, 128}) EXPECT_FALSE(DigestFromHex(std::string(length, '0'), &d)) << length;
}

TEST(SignedManifest, CreatedAtReadsAsATime) {
  struct Case {
    const char* text;
    bool reads;
    std::int64_t seconds;
    const char* fraction;
  };
  for (const Case& c : {
           Case{"1970-01-01", true, 0, ""},
           Case{"2026-01-01T00:00:00Z", true, 1767225600, ""},
           Case{"2026-01-01T08:00:00+08:00", true, 1767225600, ""},  // the same moment
           Case{"2025-12-31T23:30:00-00:30", true, 1767225600, ""},
           Case{"2026-01-01T00:00", true, 1767225600, ""},
           Case{"2026-01-01T00:00:00.250Z", true, 1767225600, "25"},
           Case{"2024-02-29T12:00:00Z", true, 1709208000, ""},
           Case{"2026-12-31T23:59:59Z", true, 1798761599, ""},
           Case{"2025-02-29", false, 0, ""},         // not a leap year
           Case{"2000-02-29", true, 951782400, ""},  // a century divisible by 400
           Case{"2000-03-01", true, 951868800, ""},
           Case{"1900-02-29", false, 0, ""},  // a century that is not
           Case{"2100-02-29", false, 0, ""},
           Case{"1900-03-01", true, -2203891200, ""},
           Case{"2026-08-31", true, 1788134400, ""},
           Case{"2026-09-01", true, 1788220800, ""},
           Case{"2026-13-01", false, 0, ""},
           Case{"2026-00-10", false, 0, ""},
           Case{"2026-04-31", false, 0, ""},
           Case{"2026-01-00", false, 0, ""},
           Case{"2026-01-01T24:00:00Z", false, 0, ""},
           Case{"2026-01-01T00:60:00Z", false, 0, ""},
           Case{"2026-01-01T00:00:60Z", false, 0, ""},
           Case{"2026-01-01T00:00:00.Z", false, 0, ""},
           Case{"2026-01-01T00:00:00+0800", false, 0, ""},
           Case{"2026-01-01 00:00:00Z", false, 0, ""},
           Case{"2026-01-01T00:00:00Zx", false, 0, ""},
           Case{"2026-1-01", false, 0, ""},
           Case{"2024", false, 0, ""},
           Case{"", false, 0, ""},
       }) {
    CreatedAt t;
    ASSERT_EQ(ParseCreatedAt(c.text, &t), c.reads) << c.text;
    if (!c.reads) continue;
    EXPECT_EQ(t.seconds, c.seconds) << c.text;
    EXPECT_EQ(t.fraction, c.fraction) << c.text;
  }
  // Every month's last day reads, the day after it does not.
  const int last[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  for (int m = 1; m <= 12; ++m) {
    char day[16];
    CreatedAt t;
    std::snprintf(day, sizeof day, "2026-%02d-%02d", m, last[m - 1]);
    EXPECT_TRUE(ParseCreatedAt(day, &t)) << day;
    std::snprintf(day, sizeof day, "2026-%02d-%02d", m, last[m - 1] + 1);
    EXPECT_FALSE(ParseCreatedAt(day, &t)) << day;
  }
}

TEST(SignedManifest, NothingOlderThanWhatWasTaken) {
  struct Case {
    const char* remembered;
    const char* offered;
    bool taken;
  };
  for (const Case& c : {
           Case{"", "2026-01-01T00:00:00Z", true},  // nothing taken yet
           Case{"", "whenever", true},
           Case{"2026-02-01T00:00:00Z", "2026-02-01T00:00:00Z", true},  // equal
           Case{"2026-02-01T00:00:00Z", "2026-02-01T00:00:01Z", true},
           Case{"2026-02-01T00:00:00Z", "2026-01-31T23:59:59Z", false},
           Case{"2026-02-01T00:00:00Z", "2026-01-01T00:00:00Z", false},
           Case{"2026-02-01T00:00:00Z", "2025-03-01T00:00:00Z", false},      // a later month of an earlier year
           Case{"2026-02-01T00:00:00Z", "2026-02-01T08:00:00+08:00", true},  // equal, written otherwise
           Case{"2026-02-01T00:00:00Z", "2026-02-01T07:59:59+08:00", false},
           Case{"2026-02-01T00:00:00Z", "2026-02-01", true},
           Case{"2026-02-01T00:00:00.5Z", "2026-02-01T00:00:00.50Z", true},
           Case{"2026-02-01T00:00:00.5Z", "2026-02-01T00:00:00.49Z", false},
           Case{"2026-02-01T00:00:00.5Z", "2026-02-01T00:00:00Z", false},
           Case{"2026-02-01T00:00:00Z", "2026-02-01T00:00:00.01Z", true},
           Case{"2026-02-01T00:00:00Z", "whenever", false},  // cannot be shown not older
           Case{"2026-02-01T00:00:00Z", "", false},
           Case{"damaged", "2020-01-01T00:00:00Z", true},
       })
    EXPECT_EQ(MayTakeCreatedAt(c.remembered, c.offered), c.taken) << c.remembered << " then " << c.offered;
  EXPECT_EQ(CreatedAtValueName("wow335-hd"), "ManifestCreatedAt-wow335-hd");
}

// Three mirrors' offers, written "<id>@<created_at>", "-" for no answer and
// "!<id>@<created_at>" for a document that is not to be taken.
std::vector<ManifestOffer> Offers(std::initializer_list<const char*> texts) {
  std::vector<ManifestOffer> out;
  for (std::string t : texts) {
    ManifestOffer o;
    if (t != "-") {
      o.answered = true;
      o.usable = t[0] != '!';
      if (!o.usable) t.erase(0, 1);
      o.id = t.substr(0, t.find('@'));
      o.createdAt = t.substr(t.find('@') + 1);
    }
    out.push_back(o);
  }
  return out;
}

TEST(ManifestChoice, TheNewestUsableOfferWins) {
  struct Case {
    const char* what;
    std::vector<ManifestOffer> offers;
    int chosen;
  };
  const Case cases[] = {
      {"a stale first mirror", Offers({"a@2026-01-01T00:00:00Z", "b@2026-02-01T00:00:00Z", "-"}), 1},
      {"the newest last", Offers({"a@2026-01-01", "a@2026-01-01", "c@2026-03-01"}), 2},
      {"equals: the first", Offers({"-", "b@2026-02-01T08:00:00+08:00", "c@2026-02-01T00:00:00Z"}), 1},
      {"a newer one not to be taken", Offers({"a@2026-01-01", "!b@2026-09-01", "-"}), 0},
      {"an unreadable time is older", Offers({"a@soon", "b@2020-01-01", "-"}), 1},
      {"only unreadable times: the first", Offers({"a@soon", "b@later", "-"}), 0},
      {"fractions", Offers({"a@2026-01-01T00:00:00.5Z", "b@2026-01-01T00:00:00.45Z", "-"}), 0},
      {"nothing usable", Offers({"-", "!b@2026-01-01", "-"}), -1},
  };
  for (const Case& c : cases) EXPECT_EQ(ChooseNewestManifest(c.offers), c.chosen) << c.what;
}

TEST(ManifestChoice, MirrorsOfferingAnotherManifestServeNoFile) {
  const std::vector<std::string> bases = {"https://m1/wow335/", "https://m2/wow335/", "https://m3/wow335"};
  struct Case {
    const char* what;
    std::vector<std::string> listed;
    std::vector<ManifestOffer> offers;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {"the bases themselves",
       {"https://m1/wow335/", "https://m2/wow335", "https://m3/wow335/"},
       Offers({"old@2026-01-01", "new@2026-02-01", "new@2026-02-01"}),
       {"https://m2/wow335", "https://m3/wow335/"}},
      {"release folders under them",
       {"https://m1/wow335/releases/7/", "https://m3/wow335/releases/7/"},
       Offers({"new@2026-02-01", "-", "!other@2026-03-01"}),
       {"https://m1/wow335/releases/7/"}},
      {"a base that did not answer keeps its mirror",
       {"https://m2/wow335/"},
       Offers({"new@1", "-", "new@1"}),
       {"https://m2/wow335/"}},
      {"a document without an identity says nothing",
       {"https://m2/wow335/x/"},
       Offers({"new@1", "!@", "-"}),
       {"https://m2/wow335/x/"}},
      {"another identity, even one not to be taken", {"https://m2/wow335/x/"}, Offers({"new@1", "!x@3", "-"}), {}},
      {"mirrors elsewhere are kept",
       {"https://cdn/wow335/", "https://m1/wow335x/"},
       Offers({"old@1", "new@2", "old@1"}),
       {"https://cdn/wow335/", "https://m1/wow335x/"}},
  };
  for (const Case& c : cases) EXPECT_EQ(MirrorsForJob(c.listed, bases, c.offers, "new"), c.kept) << c.what;
}

TEST(ManifestChoice, OnlyANewerManifestContinuesAJob) {
  struct Case {
    const char* offeredId;
    const char* offeredCreatedAt;
    bool continues;
  };
  // The job holds "held", created 2026-02-01.
  for (const Case& c : {
           Case{"held", "2026-02-01T00:00:00Z", false},  // the same: the mirrors are being filled
           Case{"next", "2026-02-01T00:00:01Z", true},
           Case{"next", "2026-02-01T00:00:00Z", false},  // another of the same time: no end to turns
           Case{"older", "2026-01-31T23:59:59Z", false},
           Case{"next", "whenever", false},
           Case{"held", "2026-03-01T00:00:00Z", false},
       })
    EXPECT_EQ(ContinuesWithManifest("held", "2026-02-01T00:00:00Z", c.offeredId, c.offeredCreatedAt), c.continues)
        << c.offeredId << " " << c.offeredCreatedAt;
  // A time that reads is later than one that does not; the next turn holds it.
  EXPECT_TRUE(ContinuesWithManifest("held", "whenever", "next", "2026-03-01T00:00:00Z"));
}

}  // namespace
