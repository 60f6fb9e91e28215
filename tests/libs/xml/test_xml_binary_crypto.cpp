// The binary form, Base64, signing and encryption, and profile-style access.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>

#include "libs/xml/xml_document.h"
#include "tests/libs/xml/xml_test_util.h"

namespace nimbo {
namespace {

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

std::string SaveText(XmlDocument& doc) {
  std::string out;
  doc.Save(&out, 1, kXmlSaveText);
  return out;
}

TEST(XmlBinary, LayoutOfASmallDocument) {
  XmlDocument doc;
  doc.header = std::make_unique<XmlHeader>();
  doc.SetRootElement(std::make_unique<XmlElement>(nullptr, "<r a=\"1\"/>"));
  std::string form;
  ASSERT_TRUE(doc.SaveBinary(&form));
  EXPECT_EQ(U32(form, 0), 0u);
  EXPECT_EQ(U32(form, 4), 0u);
  EXPECT_EQ(U32(form, 12), form.size() - 16);
  EXPECT_EQ(U32(form, 16 + 4), 1u) << "the header record";
  EXPECT_EQ(U32(form, 16 + 12), 4u) << "an empty header is 20 bytes";
  EXPECT_EQ(U32(form, 36 + 4), 2u) << "the root element";
  EXPECT_EQ(U32(form, 36 + 16), 1u) << "its name length";
  EXPECT_EQ(U32(form, 36 + 21 + 4), 3u) << "one attribute record";
  EXPECT_EQ(U32(form, 36 + 21 + 12), 1u + 1u + 8u);
}

TEST(XmlBinary, RoundTripOfEveryNodeKind) {
  const char* sources[] = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!--top--><WIM><TOTALBYTES>1234</TOTALBYTES><IMAGE INDEX=\"1\">"
      "<NAME>Boot &amp; more</NAME><!-- c --><![CDATA[x<y]]><WINDOWS><ARCH>9</ARCH></WINDOWS></IMAGE></WIM>",
      "<r>\xE2\x82\xAC \xF0\x9F\x98\x80<e a=\"&#x1F600;\"/></r>",
  };
  for (const char* source : sources) {
    XmlDocument doc;
    doc.LoadText(source);
    doc.GetRootElement()->AddContent(std::string("\x00\x01\xFF", 3), 0, 3);
    std::string form;
    ASSERT_TRUE(doc.SaveBinary(&form));
    XmlDocument back;
    ASSERT_TRUE(back.LoadBinary(form));
    EXPECT_EQ(doc.Compare(back), 0) << source;
    EXPECT_EQ(SaveText(doc), SaveText(back)) << source;
  }
}

TEST(XmlBinary, DamagedFormsFailCleanly) {
  XmlDocument doc;
  doc.LoadText("<r a=\"1\"><c>t</c><!--x--></r>");
  std::string form;
  doc.SaveBinary(&form);
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
  } cases[] = {
      {"short", [](std::string& f) { f.resize(10); }},
      {"rest length too long", [](std::string& f) { f[12] = static_cast<char>(f[12] + 1); }},
      {"rest length too short", [](std::string& f) { f[12] = static_cast<char>(f[12] - 1); }},
      {"non-zero word", [](std::string& f) { f[8] = 1; }},
      {"wrong kind", [](std::string& f) { f[4] = 2; }},
      {"truncated", [](std::string& f) { f.resize(f.size() - 3); }},
  };
  for (const Case& c : cases) {
    std::string bad = form;
    c.damage(bad);
    XmlDocument back;
    EXPECT_FALSE(back.LoadBinary(bad)) << c.name;
  }
  // Lying inner lengths: every length word of the form set to a huge value, one at a time.
  for (size_t at = 16; at + 4 <= form.size(); ++at) {
    std::string bad = form;
    std::memset(&bad[at], 0xFF, 4);
    XmlDocument back;
    back.LoadBinary(bad);  // may succeed with records dropped; must never read outside
  }
}

TEST(XmlBase64, LinesAndDecoding) {
  std::string bytes(54, '\x5A');
  const std::string text = XmlBase64Encode(bytes);
  EXPECT_EQ(text.size(), 74u);
  EXPECT_EQ(text.substr(72), "\r\n");
  XmlAttribute a("b");
  a.SetBinaryValue(bytes.data(), bytes.size());
  EXPECT_EQ(a.value.substr(72), "__");
  std::string back;
  EXPECT_EQ(a.GetBinaryValue(&back), 54u);
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(XmlBase64Decode("SG!!Vs\r\nbG8=#"), "Hello") << "characters outside the alphabet are skipped";
  uint8_t small[3];
  EXPECT_EQ(XmlBase64DecodeTo("SGVsbG8=", small, sizeof small), 3u) << "never past the capacity";
  EXPECT_EQ(std::memcmp(small, "Hel", 3), 0);
  XmlAttribute empty("e");
  EXPECT_EQ(empty.GetBinaryValue(nullptr), 0u);
}

class XmlCrypto : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=nimbo-test -days 2 -keyout " +
                            (dir_ / "key.pem") + " -out " + (dir_ / "cert.pem") + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << "openssl req";
    cert_ = test::ReadFile(dir_ / "cert.pem");
    key_ = test::ReadFile(dir_ / "key.pem");
  }
  test::TempFolder dir_{"nimbo_xml_"};
  std::string cert_, key_;
};

TEST_F(XmlCrypto, SignAndVerify) {
  XmlDocument doc;
  doc.LoadText("<r><e a=\"1\">text</e></r>");
  XmlElement* root = doc.GetRootElement();
  ASSERT_TRUE(root->Sign(0, cert_, key_));
  EXPECT_FALSE(root->Sign(0, cert_, key_)) << "already signed";
  std::string signer;
  EXPECT_TRUE(root->VerifySignature(0, &signer));
  EXPECT_EQ(signer, cert_);
  // The signature checked by an independent tool: detached CMS over the exported element.
  XmlElement* e = root->children[0].get();
  test::WriteFile(dir_ / "sig.der", root->GetSignature(0));
  auto sig = e->DetachAttribute(e->IndexOfAttribute(e->FindAttribute("__signature__")));
  std::string exported;
  XmlTarget target;
  target.buffer = &exported;
  e->Export(target, 1, 1, kXmlSaveText, nullptr);
  e->attributes.push_back(std::move(sig));
  test::WriteFile(dir_ / "content", exported);
  const std::string verify = "openssl cms -verify -noverify -binary -inform DER -in " + (dir_ / "sig.der") +
                             " -content " + (dir_ / "content") + " -out /dev/null 2>/dev/null";
  EXPECT_EQ(std::system(verify.c_str()), 0);
  // One changed byte of the element breaks it.
  e->contents[0]->SetValue("texT");
  EXPECT_FALSE(root->VerifySignature(0, nullptr));
  EXPECT_TRUE(root->RemoveSignature(0));
  EXPECT_TRUE(root->Sign(0, cert_, key_)) << "after removal it signs again";
}

TEST_F(XmlCrypto, EncryptForACertificateHolder) {
  XmlDocument doc;
  doc.LoadText("<secret k=\"v\"><x>1</x></secret>");
  auto sealed = doc.GetRootElement()->EncryptForRecipients(-1, {cert_});
  ASSERT_NE(sealed, nullptr);
  EXPECT_EQ(sealed->name, "secret");
  ASSERT_NE(sealed->FindAttribute("v"), nullptr);
  test::TempFolder store{"nimbo_xml_"};
  SetXmlCertificateStore(store.path());
  EXPECT_EQ(sealed->DecryptFromRecipients(-1, nullptr), nullptr) << "no key in the store";
  test::WriteFile(store / "mine.pem", cert_ + key_);
  std::string used;
  auto opened = sealed->DecryptFromRecipients(-1, &used);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->Compare(*doc.GetRootElement()), 0);
  EXPECT_EQ(used, cert_);
  SetXmlCertificateStore("");
}

TEST(XmlPassword, RoundTripAndWrongPassword) {
  XmlDocument doc;
  doc.LoadText("<r><c a=\"1\">payload</c></r>");
  XmlElement* root = doc.GetRootElement();
  ASSERT_TRUE(root->EncryptChildWithPassword(0, "pa55"));
  EXPECT_EQ(root->children[0]->contents.size(), 1u);
  EXPECT_EQ(root->children[0]->DecryptWithPassword("wrong"), nullptr);
  ASSERT_TRUE(root->DecryptChildWithPassword(0, "pa55"));
  EXPECT_EQ(root->children[0]->name, "c");
  EXPECT_EQ(root->children[0]->FindAttribute("a")->GetValueInt(), 1);
  // The key derivation's test vector, checked by an independent tool with the documented key.
  std::string out;
  ASSERT_TRUE(XmlPasswordCipher(false, "password", std::string(16, '\0'), &out));
  std::string key_check;
  ASSERT_TRUE(XmlPasswordCipher(true, "password", out, &key_check));
  EXPECT_EQ(key_check, std::string(16, '\0'));
  test::TempFolder dir{"nimbo_xml_"};
  test::WriteFile(dir / "c.bin", out.substr(0, 16));
  const std::string cmd =
      "openssl enc -d -aes-256-cbc -nopad -K "
      "a3bc508753274827cf2515600eaea32c226a7895c0533fcc0a67de054e4822f0 "
      "-iv 00000000000000000000000000000000 -in " +
      (dir / "c.bin") + " | cmp -n 16 -s - /dev/zero";
  EXPECT_EQ(std::system(("bash -c '" + cmd + "'").c_str()), 0) << "the documented key";
}

TEST(XmlProfile, PathsAttributesAndFiles) {
  test::TempFolder dir{"nimbo_xml_"};
  const std::string file = dir / "p.xml";
  char buf[8];
  EXPECT_EQ(XmlProfileGetString("a\\b", "k", "dflt", buf, sizeof buf, file.c_str(), nullptr), 4u);
  EXPECT_STREQ(buf, "dflt");
  EXPECT_EQ(XmlProfileSetString("a\\b\\c", "k", "v<1", file.c_str(), nullptr), 1);
  const std::string text = test::ReadFile(file);
  EXPECT_NE(text.find("<?xml version=\"1.0\" encoding=\"UTF-8\""), std::string::npos);
  EXPECT_NE(text.find("k=\"v&lt;1\""), std::string::npos);
  EXPECT_EQ(XmlProfileGetString("a\\b\\c", "k", "", buf, sizeof buf, file.c_str(), nullptr), 3u);
  EXPECT_STREQ(buf, "v<1");
  XmlProfileSetString("a\\b\\c", "long", "12345678", file.c_str(), nullptr);
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(XmlProfileGetString("a\\b\\c", "long", "", buf, sizeof buf, file.c_str(), nullptr), 8u);
  EXPECT_EQ(buf[0], 'x') << "a value as long as the buffer is not copied";
  XmlProfileSetInt64("a", "n", -9000000000LL, file.c_str(), nullptr);
  EXPECT_EQ(XmlProfileGetInt64("a", "n", 0, file.c_str(), nullptr), -9000000000LL);
  EXPECT_EQ(XmlProfileGetInt("a", "missing", 42, file.c_str(), nullptr), 42);
  EXPECT_DOUBLE_EQ(XmlProfileGetFloat("a", "missing", 1.5, file.c_str(), nullptr), 1.5);
  std::string blob(100, '\x07');
  XmlProfileSetBinary("a", "bin", blob.data(), blob.size(), file.c_str(), nullptr);
  uint8_t back[200];
  EXPECT_EQ(XmlProfileGetBinary("a", "bin", "", back, sizeof back, file.c_str(), nullptr), 100u);
  EXPECT_EQ(XmlProfileGetBinary("a", "bin", "", back, 10, file.c_str(), nullptr), 10u);
  std::vector<std::string> names, values;
  EXPECT_EQ(XmlProfileListAttributes("a", &names, &values, file.c_str()), 2);
  EXPECT_EQ(names[0], "n");
  EXPECT_EQ(XmlProfileListChildren("a", &names, file.c_str()), 1);
  // No value deletes the attribute; no attribute name deletes the element.
  XmlProfileSetString("a\\b\\c", "k", nullptr, file.c_str(), nullptr);
  EXPECT_EQ(XmlProfileGetString("a\\b\\c", "k", "", buf, sizeof buf, file.c_str(), nullptr), 0u);
  XmlProfileSetString("a\\b", "", "x", file.c_str(), nullptr);
  EXPECT_EQ(XmlProfileListChildren("a", nullptr, file.c_str()), 0);
  EXPECT_EQ(XmlProfileSetElementName("a", "z", file.c_str(), nullptr), 1);
  EXPECT_EQ(XmlProfileSetElementName("nowhere", "z", file.c_str(), nullptr), 0);
}

}  // namespace
}  // namespace nimbo
