// Parse throughput against pugixml, and building a large domain.xml with the append operations.

#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <string>

#include "shared/xml/xml_document.h"

namespace {

constexpr int kHosts = 1000;

std::string DomainList()
{
    std::string s = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<DOMAINLIST>\r\n";
    for (int i = 0; i < kHosts; ++i)
        s += "<DOMAIN>\r\n<ID>" + std::to_string(100000 + i) + "</ID>\r\n<OP>" + std::to_string(i % 2) +
             "</OP>\r\n</DOMAIN>\r\n";
    return s + "</DOMAINLIST>\r\n";
}

std::string DynamicResult()
{
    std::string s = "<UserInfo><userid>1024</userid><nick>nick</nick><email>a@b.c</email>"
                    "<username>user</username><userstatus>1</userstatus><validated>1</validated>"
                    "</UserInfo>\r\n<dynamic>\r\n";
    for (int i = 0; i < kHosts; ++i)
        s += "<item><domain>host" + std::to_string(i) + ".example.com</domain><hostid>" + std::to_string(100000 + i) +
             "</hostid><data>192.168." + std::to_string(i / 256) + "." + std::to_string(i % 256) + "</data></item>\r\n";
    return s + "</dynamic>\r\n";
}

void ParseOurs(benchmark::State& state, const std::string& text)
{
    CXmlDocument doc;
    for (auto _ : state) {
        doc.SetDocument(text);
        benchmark::DoNotOptimize(doc.Document().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void ParsePugi(benchmark::State& state, const std::string& text)
{
    pugi::xml_document doc;
    for (auto _ : state) {
        pugi::xml_parse_result r = doc.load_buffer(text.data(), text.size());
        benchmark::DoNotOptimize(r.status);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ParseDomainList(benchmark::State& state)
{
    ParseOurs(state, DomainList());
}
void BM_ParseDomainListPugixml(benchmark::State& state)
{
    ParsePugi(state, DomainList());
}
void BM_ParseDynamicResult(benchmark::State& state)
{
    ParseOurs(state, DynamicResult());
}
void BM_ParseDynamicResultPugixml(benchmark::State& state)
{
    ParsePugi(state, DynamicResult());
}

// Parse and read every item the way the web-service client does.
void BM_ReadDynamicResult(benchmark::State& state)
{
    std::string text = DynamicResult();
    for (auto _ : state) {
        CXmlDocument doc;
        doc.SetDocument(text);
        size_t total = 0;
        if (doc.FindElement("dynamic")) {
            while (doc.FindChildElement("item")) {
                doc.EnterElement();
                if (doc.FindChildElement("domain"))
                    total += doc.ChildElementText().size();
                if (doc.FindChildElement("hostid"))
                    total += doc.ChildElementText().size();
                if (doc.FindChildElement("data"))
                    total += doc.ChildElementText().size();
                doc.LeaveElement();
            }
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ReadDynamicResultPugixml(benchmark::State& state)
{
    std::string text = DynamicResult();
    for (auto _ : state) {
        pugi::xml_document doc;
        doc.load_buffer(text.data(), text.size());
        size_t total = 0;
        for (pugi::xml_node item : doc.child("dynamic").children("item")) {
            total += std::string(item.child_value("domain")).size();
            total += std::string(item.child_value("hostid")).size();
            total += std::string(item.child_value("data")).size();
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

// domain.xml for 1000 hosts, built the way the service writes it.
void BM_BuildDomainList(benchmark::State& state)
{
    for (auto _ : state) {
        CXmlDocument doc;
        doc.SetDocument("<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n");
        doc.AppendElement("DOMAINLIST");
        for (int i = 0; i < kHosts; ++i) {
            doc.AppendChildElement("DOMAIN");
            doc.EnterElement();
            doc.AppendChildElement("ID", 100000 + i);
            doc.AppendChildElement("OP", i % 2);
            doc.LeaveElement();
        }
        benchmark::DoNotOptimize(doc.Document().data());
    }
}

}  // namespace

BENCHMARK(BM_ParseDomainList);
BENCHMARK(BM_ParseDomainListPugixml);
BENCHMARK(BM_ParseDynamicResult);
BENCHMARK(BM_ParseDynamicResultPugixml);
BENCHMARK(BM_ReadDynamicResult);
BENCHMARK(BM_ReadDynamicResultPugixml);
BENCHMARK(BM_BuildDomainList)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
