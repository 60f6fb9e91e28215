// Documents on different threads share nothing.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "libs/xml/xml_document.h"

namespace nimbo {
namespace {

TEST(XmlThreads, IndependentDocumentsInParallel) {
  const std::string text =
      "<?xml version=\"1.0\"?><WIM><IMAGE INDEX=\"1\"><NAME>a &amp; b &#x1F600;</NAME></IMAGE>"
      "<TOTALBYTES>5</TOTALBYTES></WIM>";
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        XmlDocument doc(text, kXmlSourceText);
        XmlElement* total = doc.GetRootElement()->FindElement("TOTALBYTES");
        total->RemoveAllContents();
        total->AddContent(std::to_string(t));
        doc.SetHeader(std::make_unique<XmlHeader>(""));
        XmlExportFormat f;
        f.indentCount = 0;
        f.noBreakDeclaration = f.noBreakComments = f.noBreakTags = f.noBreakContents = 1;
        doc.SetExportFormat(f);
        std::string out;
        doc.Save(&out, 1, kXmlSaveText);
        results[t] = out;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (std::size_t t = 0; t < results.size(); ++t)
    EXPECT_EQ(results[t], "<WIM><IMAGE INDEX=\"1\"><NAME>a &amp; b &#x1F600;</NAME></IMAGE><TOTALBYTES>" +
                              std::to_string(t) + "</TOTALBYTES></WIM>");
}

}  // namespace
}  // namespace nimbo
