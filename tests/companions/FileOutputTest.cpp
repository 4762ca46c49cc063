// What the log writer and the event reporter leave in their files.
#include <gtest/gtest.h>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "Sandbox.h"
#include "tarvik/comptr.h"
#include "tarvik/interfaces.h"
#include "tarvik/registry.h"
#include "tarvik/text.h"

using tarvik::Bstr;
using tarvik::ComPtr;
using tarvik::Variant;

namespace {

std::string NewFile(const char* stem) {
    static int counter = 0;
    // The sandbox is this process's own.
    return tarvik::test::SandboxRoot() + "/" + stem + "-" + std::to_string(++counter) + ".txt";
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

ComPtr<ILogWriter> NewWriter(const std::string& path = {}) {
    ComPtr<ILogWriter> w;
    EXPECT_EQ(CoCreateInstance(CLSID_LogWriter, nullptr, CLSCTX_ALL, IID_ILogWriter, w.PutVoid()),
              S_OK);
    if (w && !path.empty()) {
        EXPECT_EQ(w->SetLogFile(Bstr::FromAnsi(path).Get()), S_OK);
    }
    return w;
}

ComPtr<IEventReporter> NewReporter(const std::string& path = {}) {
    ComPtr<IEventReporter> r;
    EXPECT_EQ(
        CoCreateInstance(CLSID_EventReporter, nullptr, CLSCTX_ALL, IID_IEventReporter, r.PutVoid()),
        S_OK);
    if (r && !path.empty()) {
        EXPECT_EQ(r->SetTarget(Bstr::FromAnsi(path).Get()), S_OK);
    }
    return r;
}

HRESULT Write(ILogWriter* w, ULONG thread, const std::u16string& function,
              const std::u16string& message, const std::u16string& detail) {
    return w->WriteEntry(thread, -1, 0, Bstr(function).Get(), Bstr(message).Get(),
                         Bstr(detail).Get());
}

// Sets (or, with an empty value, removes) a value under a companion class's key.
void SetClassValue(REFCLSID clsid, const std::string& name, const std::string& value) {
    const std::string key = "HKEY_CLASSES_ROOT\\CLSID\\" + tarvik::GuidToString(clsid);
    EXPECT_EQ(tarvik::registry::Update([&](tarvik::registry::Key& root) {
                  if (!value.empty())
                      root.Create(key).SetString(name, value);
                  else if (auto* k = root.Find(key))
                      k->RemoveValue(name);
                  return S_OK;
              }),
              S_OK);
}

const std::regex kLogLine(
    R"(([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\.[0-9]{3}\t([0-9]+)\t(-?[0-9]+)\t(-?[0-9]+)\t([^\t]*)\t([^\t]*)\t([^\t]*))");

TEST(LogWriterFile, OneLinePerEnabledEntryWithEveryField) {
    std::string path = NewFile("log");
    ComPtr<ILogWriter> w = NewWriter(path);
    ASSERT_EQ(w->WriteEntry(4242, 0, 1, Bstr(u"ML::OpenLine()").Get(), Bstr(u"All goes well").Get(),
                            Bstr(u"09:05:07").Get()),
              S_OK);
    // A disabled writer writes nothing, and fails nothing either.
    LONG enabled = 0;
    ASSERT_EQ(w->GetEnabled(&enabled), S_OK);
    EXPECT_EQ(enabled, TRUE);
    ASSERT_EQ(w->SetEnabled(FALSE), S_OK);
    EXPECT_TRUE(SUCCEEDED(Write(w.Get(), 1, u"f", u"dropped", u"d")));
    ASSERT_EQ(w->SetEnabled(TRUE), S_OK);
    // Texts with line breaks and tabs stay on their line; non-ASCII as UTF-8.
    ASSERT_EQ(Write(w.Get(), 7, u"CModemLine::FrameReceived()", u"OK\r\nRING\tx\\y", u"Grüße"),
              S_OK);
    auto lines = Lines(path);
    ASSERT_EQ(lines.size(), 2u);
    // After the time of day, HH:MM:SS.mmm and a tab.
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_match(line, kLogLine)) << line;
    EXPECT_EQ(lines[0].substr(13), "4242\t0\t1\tML::OpenLine()\tAll goes well\t09:05:07");
    EXPECT_EQ(lines[1].substr(13),
              "7\t-1\t0\tCModemLine::FrameReceived()\tOK\\r\\nRING\\tx\\\\y\tGr\xC3\xBC\xC3\x9F"
              "e");
}

TEST(LogWriterFile, ManyThreadsNeverMixLines) {
    std::string path = NewFile("log-threads");
    ComPtr<ILogWriter> shared = NewWriter(path);
    constexpr int kThreads = 8, kEntries = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Half the threads share one writer, the others have their own,
            // as a line's threads and several lines do.
            ComPtr<ILogWriter> own = t % 2 ? NewWriter(path) : shared;
            std::u16string padding(200 + 37 * t, static_cast<char16_t>(u'a' + t));
            for (int i = 0; i < kEntries; ++i) {
                std::u16string msg =
                    tarvik::FromAnsi("T" + std::to_string(t) + "#" + std::to_string(i) + "#") +
                    padding;
                ASSERT_EQ(Write(own.Get(), t, u"CSerialPort::MonitorThread()", msg, u"x"), S_OK);
            }
        });
    for (auto& t : threads)
        t.join();

    auto lines = Lines(path);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntries));
    std::set<std::string> seen;
    const std::regex entry(R"(T([0-9]+)#[0-9]+#([a-z]+))");
    for (const std::string& line : lines) {
        std::smatch m, e;
        ASSERT_TRUE(std::regex_match(line, m, kLogLine)) << line.substr(0, 80);
        const std::string msg = m[6];
        ASSERT_TRUE(std::regex_match(msg, e, entry)) << msg.substr(0, 40);
        const int t = std::stoi(e[1]);
        EXPECT_EQ(m[2], e[1]);
        EXPECT_EQ(e[2], std::string(200 + 37 * t, static_cast<char>('a' + t)));
        seen.insert(msg.substr(0, msg.size() - e[2].length()));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

TEST(FileOutput, UnwritableTargetMeansNoOutputNotFailure) {
    for (std::string target : {std::string("/nonexistent-tarvik-dir/x.log"),
                               tarvik::test::SandboxRoot(),  // a folder
                               std::string()}) {
        SCOPED_TRACE(target);
        ComPtr<ILogWriter> w = NewWriter();
        ASSERT_EQ(w->SetLogFile(Bstr::FromAnsi(target).Get()), S_OK);
        EXPECT_TRUE(SUCCEEDED(Write(w.Get(), 1, u"f", u"m", u"d")));
        EXPECT_TRUE(SUCCEEDED(w->Flush()));
        ComPtr<IEventReporter> r = NewReporter();
        ASSERT_EQ(r->SetTarget(Bstr::FromAnsi(target).Get()), S_OK);
        EXPECT_TRUE(SUCCEEDED(r->Notify(1000, Bstr(u"x").Get(), Variant(), Variant(), nullptr)));
        LONG count = -1;
        r->GetCount(&count);
        EXPECT_EQ(count, 0);
    }
    EXPECT_FALSE(std::filesystem::exists("/nonexistent-tarvik-dir"));
}

TEST(FileOutput, TargetFromEnvironmentElseRegistration) {
    std::string logFile = NewFile("log-registry"), eventFile = NewFile("events-registry");
    SetClassValue(CLSID_LogWriter, "LogFile", logFile);
    SetClassValue(CLSID_EventReporter, "EventFile", eventFile);
    Bstr got;
    // The environment, when set, is the narrower choice and wins.
    const std::string envLog = std::getenv("TARVIK_LOG"), envEvents = std::getenv("TARVIK_EVENTS");
    EXPECT_EQ(NewWriter()->GetLogFile(got.Put()), S_OK);
    EXPECT_EQ(got.Ansi(), envLog);
    EXPECT_EQ(NewReporter()->GetTarget(got.Put()), S_OK);
    EXPECT_EQ(got.Ansi(), envEvents);
    tarvik::test::SetEnv("TARVIK_LOG", nullptr);
    tarvik::test::SetEnv("TARVIK_EVENTS", nullptr);
    ComPtr<ILogWriter> w = NewWriter();
    EXPECT_EQ(w->GetLogFile(got.Put()), S_OK);
    EXPECT_EQ(got.Ansi(), logFile);
    EXPECT_EQ(Write(w.Get(), 3, u"f", u"via registration", u"d"), S_OK);
    EXPECT_EQ(NewReporter()->GetTarget(got.Put()), S_OK);
    EXPECT_EQ(got.Ansi(), eventFile);
    tarvik::test::SetEnv("TARVIK_LOG", envLog.c_str());
    tarvik::test::SetEnv("TARVIK_EVENTS", envEvents.c_str());
    SetClassValue(CLSID_LogWriter, "LogFile", "");
    SetClassValue(CLSID_EventReporter, "EventFile", "");
    auto lines = Lines(logFile);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("via registration"), std::string::npos);
}

TEST(EventReporterFile, OneJsonLinePerNotificationWithTypedValuesAndEscapedText) {
    std::string path = NewFile("events");
    ComPtr<IEventReporter> r = NewReporter(path);
    ASSERT_EQ(r->Notify(1000, Bstr(u"DATE=1206;NMBR=5551234;").Get(),
                        Variant(static_cast<LONG>(81)), Variant(), Bstr(u"COM1").Get()),
              S_OK);
    auto typed = [](VARTYPE vt, double d) {
        Variant v;
        v.vt = vt;
        v.dblVal = d;
        return v;
    };
    const struct {
        Variant value;
        const char* json;
    } cases[] = {
        {Variant::I2(103), R"({"type":"I2","value":103})"},
        {Variant::Bool(true), R"({"type":"BOOL","value":true})"},
        {Variant::String(u"say \"hi\"\n"), R"({"type":"BSTR","value":"say \"hi\"\n"})"},
        {typed(VT_NULL, 0), R"({"type":"NULL","value":null})"},
        {typed(VT_R8, 0.5), R"({"type":"R8","value":0.5})"},
        {typed(VT_R8, std::numeric_limits<double>::quiet_NaN()), R"({"type":"R8","value":"nan"})"},
        {Variant::Unknown(r.Get()), R"({"type":"UNKNOWN","value":null})"},
    };
    for (auto& c : cases)
        ASSERT_EQ(r->Notify(1, Bstr(u"").Get(), c.value, Variant(), Bstr(u"").Get()), S_OK);
    ASSERT_EQ(r->Notify(2, Bstr(u"q\"b\\s\x01 é").Get(), Variant(), Variant(),
                        Bstr(u"\\\\.\\COM12").Get()),
              S_OK);
    LONG count = 0;
    ASSERT_EQ(r->GetCount(&count), S_OK);
    EXPECT_EQ(count, static_cast<LONG>(std::size(cases) + 2));

    auto lines = Lines(path);
    ASSERT_EQ(lines.size(), std::size(cases) + 2);
    EXPECT_TRUE(std::regex_match(
        lines[0],
        std::regex(R"(\{"time":"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}",)"
                   R"("code":1000,"data":"DATE=1206;NMBR=5551234;",)"
                   R"("value1":\{"type":"I4","value":81\},)"
                   R"("value2":\{"type":"EMPTY","value":null\},"source":"COM1"\})")))
        << lines[0];
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_NE(lines[i + 1].find(std::string("\"value1\":") + cases[i].json), std::string::npos)
            << lines[i + 1];
    EXPECT_NE(lines.back().find(R"("data":"q\"b\\s\u0001 )"
                                "\xC3\xA9"
                                R"(")"),
              std::string::npos)
        << lines.back();
    EXPECT_NE(lines.back().find(R"("source":"\\\\.\\COM12"})"), std::string::npos);
}

}  // namespace
