// Manifest reading, version rules, download-location rule and digest form.
#include "update/manifest.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "version.h"

namespace {

UpdateInfo Parse(const std::wstring& text, bool* usable = nullptr) {
  Result<UpdateInfo> parsed = ParseManifest(text);
  if (usable) *usable = parsed.ok();
  return parsed.value;
}

std::wstring Resolve(const std::wstring& url) {
  Result<std::wstring> path = ResolveDownloadPath(url);
  if (!path) {
    EXPECT_TRUE(path.value.empty()) << "a rejected url must not leave a request path";
    return L"<rejected>";
  }
  return path.value;
}

// The normalised text (none when the form is refused), and whether it was accepted.
bool Normalize(const std::wstring& field, std::string& digest) {
  Result<std::string> normalized = NormalizeSha256(field);
  digest = normalized.value;
  return normalized.ok();
}

struct Version {
  bool ok;
  int parts[4];
};

Version Read(const std::wstring& text) {
  Version v{};
  for (int& p : v.parts) p = -7;  // proves every part is written
  v.ok = ParseVersion(text, v.parts);
  return v;
}

void ExpectVersion(const std::wstring& text, bool ok, int a, int b, int c, int d) {
  Version v = Read(text);
  EXPECT_EQ(v.ok, ok) << "version text: " << std::string(text.begin(), text.end());
  EXPECT_EQ(v.parts[0], a);
  EXPECT_EQ(v.parts[1], b);
  EXPECT_EQ(v.parts[2], c);
  EXPECT_EQ(v.parts[3], d);
}

}  // namespace

TEST(ManifestTest, ReadsAllFieldsWithCrlfCommentsAndBlanks) {
  const std::wstring crlf =
      L"# newest build\r\n\r\n  version = 1.7.0.0  \r\n\turl=build-1.7.0.0.exe\r\n"
      L"sha256 = ABCDEF\r\nsize=4096\r\nnotes = 修复 = 若干\r\n";
  std::wstring lf = crlf;
  for (size_t at; (at = lf.find(L"\r\n")) != std::wstring::npos;) lf.erase(at, 1);

  for (const std::wstring& text : {crlf, lf}) {
    bool usable = false;
    UpdateInfo info = Parse(text, &usable);
    EXPECT_TRUE(usable);
    EXPECT_EQ(info.version, L"1.7.0.0");
    EXPECT_EQ(info.url, L"build-1.7.0.0.exe");
    EXPECT_EQ(info.sha256, L"ABCDEF");
    EXPECT_EQ(info.size, 4096);
    EXPECT_EQ(info.notes, L"修复 = 若干");
  }
}

TEST(ManifestTest, LastLineWithoutLineFeedCounts) { EXPECT_EQ(Parse(L"version=1.7\nurl=x.exe").url, L"x.exe"); }

TEST(ManifestTest, KeysAreExactAndCaseSensitive) {
  bool usable = true;
  UpdateInfo info = Parse(L"Version=1.7.0.0\nURL=x.exe\nurl=a=b\nhash=00\nversion\n=1.9\n# version=2.0\n", &usable);
  EXPECT_FALSE(usable);
  EXPECT_EQ(info.version, L"");
  EXPECT_EQ(info.url, L"a=b");
  EXPECT_EQ(info.sha256, L"");
}

TEST(ManifestTest, LastOccurrenceWinsEvenWhenEmpty) {
  bool usable = false;
  UpdateInfo info = Parse(L"version=1.7\nurl=first.exe\nurl=second.exe\n", &usable);
  EXPECT_TRUE(usable);
  EXPECT_EQ(info.url, L"second.exe");

  info = Parse(L"version=1.7\nurl=first.exe\nurl=\n", &usable);
  EXPECT_FALSE(usable);
  EXPECT_EQ(info.url, L"");
}

TEST(ManifestTest, SizeReadsLeadingNumberOnly) {
  EXPECT_EQ(Parse(L"size=abc").size, 0);
  EXPECT_EQ(Parse(L"size=-5").size, -5);
  EXPECT_EQ(Parse(L"size=12kb").size, 12);
  EXPECT_EQ(Parse(L"size=+7").size, 7);
  EXPECT_EQ(Parse(L"size=").size, 0);
  EXPECT_EQ(Parse(L"size=9223372036854775807").size, LLONG_MAX);
  // Out of range saturates rather than wrapping into a plausible size.
  EXPECT_EQ(Parse(L"size=99999999999999999999999").size, LLONG_MAX);
  EXPECT_EQ(Parse(L"size=-99999999999999999999999").size, LLONG_MIN);
  EXPECT_EQ(Parse(L"size=-9223372036854775808").size, LLONG_MIN);
}

TEST(ManifestTest, ByteOrderMarkHidesTheFirstKey) {
  bool usable = true;
  UpdateInfo info = Parse(L"\xFEFFversion=1.7.0.0\nurl=x.exe\n", &usable);
  EXPECT_FALSE(usable);
  EXPECT_EQ(info.version, L"");
  EXPECT_EQ(info.url, L"x.exe");
  // Below a first line of its own the keys read normally.
  EXPECT_TRUE(ParseManifest(L"\xFEFF# manifest\nversion=1.7.0.0\nurl=x.exe\n").ok());
}

TEST(ManifestTest, EmptyTextIsUnusable) {
  bool usable = true;
  Parse(L"", &usable);
  EXPECT_FALSE(usable);
  Parse(L"\n\n  \r\n", &usable);
  EXPECT_FALSE(usable);
}

TEST(ManifestTest, AControlCharacterInVersionUrlOrDigestMakesItUnusable) {
  const std::wstring good = L"version=1.7.0.0\nurl=x.exe\nsha256=00\nnotes=a\tb\n";
  bool usable = false;
  Parse(good, &usable);
  EXPECT_TRUE(usable) << "a tab in the notes harms nothing";
  for (const std::wstring& bad :
       {std::wstring(L"version=1.7.0.0\0--pid 1\nurl=x.exe\n", 34), std::wstring(L"version=1.7.0.0\nurl=x\x7F.exe\n"),
        std::wstring(L"version=1.7\t.0.0\nurl=x.exe\n"),
        std::wstring(L"version=1.7.0.0\nurl=x.exe\nsha256=00\x1B\n")}) {
    Parse(bad, &usable);
    EXPECT_FALSE(usable) << bad.size();
  }
}

TEST(VersionTest, ParsesDottedForms) {
  ExpectVersion(L"1.6.0.0", true, 1, 6, 0, 0);
  ExpectVersion(L"1.7", true, 1, 7, 0, 0);
  ExpectVersion(L"  \t2.3", true, 2, 3, 0, 0);
  ExpectVersion(L"1.2rc3.4", true, 1, 2, 4, 0);
  ExpectVersion(L"1.x.3", true, 1, 0, 0, 0);
  ExpectVersion(L"1.2.3.4.5", true, 1, 2, 3, 4);
  ExpectVersion(L"1.", true, 1, 0, 0, 0);
  ExpectVersion(L"99999999.1", true, 1000000, 1, 0, 0);
  ExpectVersion(L"1.99999999999999999999", true, 1, 1000000, 0, 0);
  ExpectVersion(L"1000000.1000001", true, 1000000, 1000000, 0, 0);
}

TEST(VersionTest, FailsWithoutALeadingDigit) {
  ExpectVersion(L"v1.7", false, 0, 0, 0, 0);
  ExpectVersion(L"", false, 0, 0, 0, 0);
  ExpectVersion(L"   ", false, 0, 0, 0, 0);
  ExpectVersion(L".1", false, 0, 0, 0, 0);
  ExpectVersion(L"-1.0", false, 0, 0, 0, 0);
}

TEST(VersionTest, NewerIsNumericAndStrict) {
  const wchar_t current[] = L"1.6.0.0";
  EXPECT_FALSE(IsNewerVersion(L"1.6.0.0", current));
  EXPECT_FALSE(IsNewerVersion(L"1.6", current));
  EXPECT_FALSE(IsNewerVersion(L"1.5.9.9", current));
  EXPECT_TRUE(IsNewerVersion(L"1.6.0.1", current));
  EXPECT_TRUE(IsNewerVersion(L"1.10", current));
  EXPECT_TRUE(IsNewerVersion(L"1.06.0.1", current));
  EXPECT_FALSE(IsNewerVersion(L"2", L"10.0.0.0"));
  EXPECT_TRUE(IsNewerVersion(L"10.0.0.0", L"2"));
  EXPECT_FALSE(IsNewerVersion(L"v2.0", current));
  EXPECT_FALSE(IsNewerVersion(L"2.0", L"version"));
  EXPECT_FALSE(IsNewerVersion(L"99999999", L"1000000"));
}

TEST(DownloadPathTest, RelativeLocations) {
  EXPECT_EQ(Resolve(L"build-1.7.0.0.exe"), L"/files/OKAVU/build-1.7.0.0.exe");
  EXPECT_EQ(Resolve(L"sub/x.exe"), L"/files/OKAVU/sub/x.exe");
  EXPECT_EQ(Resolve(L"/files/OKAVU/x.exe"), L"/files/OKAVU/x.exe");
  // Other schemes and an upper-case scheme are only text below the prefix.
  EXPECT_EQ(Resolve(L"HTTPS://elsewhere/x.exe"), L"/files/OKAVU/HTTPS://elsewhere/x.exe");
  EXPECT_EQ(Resolve(L"ftp://x.exe"), L"/files/OKAVU/ftp://x.exe");
}

TEST(DownloadPathTest, RejectedRelativeLocations) {
  EXPECT_EQ(Resolve(L""), L"<rejected>");
  EXPECT_EQ(Resolve(L"/other/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"/files/OKAVU"), L"<rejected>");
  EXPECT_EQ(Resolve(L"/files/okavu/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"x..exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"a/../b.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"/files/OKAVU/../secret"), L"<rejected>");
  EXPECT_EQ(Resolve(L"//host/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"//host/files/OKAVU/x.exe"), L"<rejected>");
}

TEST(DownloadPathTest, NoFormOfThePathLeavesTheFolderAsAServerDecodesIt) {
  const std::wstring absolute = std::wstring(L"https://") + kUpdateHost;
  for (const wchar_t* text :
       {L"/files/OKAVU/a/../x.exe", L"/files/OKAVU/%2e%2e/secret", L"/files/OKAVU/%2E%2E/secret",
        L"/files/OKAVU/.%2e/x", L"/files/OKAVU/x%2fy.exe", L"/files/OKAVU/x%2F..%2Fy", L"/files/OKAVU/x%5cy.exe",
        L"/files/OKAVU/x\\y.exe", L"/files/OKAVU/./x.exe", L"/files/OKAVU/x/.", L"/files/OKAVU/x%zz.exe",
        L"/files/OKAVU/x%2", L"/files/OKAVU/x.exe%"}) {
    const std::wstring tail = text;
    EXPECT_EQ(Resolve(absolute + tail), L"<rejected>") << std::string(tail.begin(), tail.end());
    EXPECT_EQ(Resolve(tail), L"<rejected>");
    EXPECT_EQ(Resolve(tail.substr(13)), L"<rejected>") << "the same below the folder, written relative";
  }
  // A query does not change the path; its text is not the path's business.
  EXPECT_EQ(Resolve(L"x.exe?a=%2e"), L"/files/OKAVU/x.exe?a=%2e");
}

TEST(DownloadPathTest, AbsoluteLocationsOnlyOnTheUpdateHost) {
  const std::wstring host = kUpdateHost;
  EXPECT_EQ(Resolve(L"https://" + host + L"/files/OKAVU/x.exe"), L"/files/OKAVU/x.exe");
  EXPECT_EQ(Resolve(L"https://" + host + L"/files/OKAVU/a%20b.exe?v=2"), L"/files/OKAVU/a%20b.exe?v=2");
  EXPECT_EQ(Resolve(L"http://" + host + L"/files/OKAVU/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"http://x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"https://" + host + L":443/files/OKAVU/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"https://" + host + L".evil.test/files/OKAVU/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"https://user@" + host + L"/files/OKAVU/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"https://other.test/files/OKAVU/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"https://" + host + L"/other/x.exe"), L"<rejected>");
  EXPECT_EQ(Resolve(L"https://" + host), L"<rejected>");
}

TEST(Sha256FormTest, AcceptsAnyCaseHexOfLength64AndNothingElse) {
  const std::wstring upper = L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
  std::string digest;
  EXPECT_TRUE(Normalize(upper, digest));
  EXPECT_EQ(digest, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  std::wstring withG = upper;
  withG[10] = L'g';
  for (const std::wstring& bad : {upper.substr(0, 63), upper + L"0", withG, std::wstring()}) {
    EXPECT_FALSE(Normalize(bad, digest));
    EXPECT_EQ(digest, "") << "a refused digest gives no text";
  }
}

TEST(Sha256FormTest, NoCharacterIsNarrowedToItsLowByte) {
  // Each of these ends in the byte of a hex digit (or of a line feed), which a narrowing reader would take.
  for (wchar_t wide : {L'\x4E30', L'\x0161', L'\x0A0A', L'\xFF10'}) {
    std::wstring digits(64, L'a');
    digits[0] = wide;
    std::string digest;
    EXPECT_FALSE(Normalize(digits, digest)) << static_cast<unsigned>(wide);
    EXPECT_EQ(digest, "");
  }
}

TEST(ManifestTest, EachBuildReadsItsOwnDownloadKeys) {
  const std::wstring both =
      L"version=1.7.0.0\nurl=OKAVU-1.7.0.0.exe\nsha256=AA\nsize=5\n"
      L"windowless_url=OKAVUw-1.7.0.0.exe\nwindowless_sha256=BB\nwindowless_size=6\n";
  Result<UpdateInfo> console = ParseManifest(both);
  ASSERT_TRUE(console.ok());
  EXPECT_EQ(console.value.url, L"OKAVU-1.7.0.0.exe");
  EXPECT_EQ(console.value.sha256, L"AA");
  EXPECT_EQ(console.value.size, 5);
  Result<UpdateInfo> windowless = ParseManifest(both, ManifestReader::kWindowless);
  ASSERT_TRUE(windowless.ok());
  EXPECT_EQ(windowless.value.url, L"OKAVUw-1.7.0.0.exe");
  EXPECT_EQ(windowless.value.sha256, L"BB");
  EXPECT_EQ(windowless.value.size, 6);
  EXPECT_FALSE(windowless.value.consoleOnly);
  // A manifest written for the console build alone gives the windowless one nothing to install.
  Result<UpdateInfo> old = ParseManifest(L"version=1.7.0.0\nurl=OKAVU-1.7.0.0.exe\n", ManifestReader::kWindowless);
  EXPECT_FALSE(old.ok());
  EXPECT_TRUE(old.value.consoleOnly);
  EXPECT_FALSE(ParseManifest(L"version=1.7.0.0\n", ManifestReader::kWindowless).value.consoleOnly);
  // The windowless build says nothing of a version it would not have taken.
  EXPECT_FALSE(ParseManifest(L"version=1.7\x1B[2J\nurl=x.exe\n", ManifestReader::kWindowless).value.consoleOnly);
}
