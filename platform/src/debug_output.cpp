/*
 * What a kernel debugger would show, kept per image: DbgPrint text and the
 * report of each failed assertion. The debugger is taken to answer "ignore"
 * to every assertion, so RtlAssert returns and the driver carries on.
 */
#include "irql_rules.h"

#include <cstring>
#include <map>

namespace hk {
namespace {

struct Diagnostics {
    std::map<std::string, std::string> output;
    std::map<std::string, std::vector<std::string>> writes;  // DbgPrint calls, one text each
    std::vector<std::string> order;  // images in the order they first spoke
    std::vector<AssertRecord> asserts;
};

Diagnostics &State()
{
    static Diagnostics state;
    return state;
}

void Append(const std::string &image, const std::string &text)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    Diagnostics &d = State();
    auto it = d.output.find(image);
    if (it == d.output.end()) {
        d.order.push_back(image);
        it = d.output.emplace(image, std::string()).first;
    }
    it->second += text;
}

// One DbgPrint call, as its own record besides the joined output.
void AppendWrite(const std::string &image, const std::string &text)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    State().writes[image].push_back(text);
    Append(image, text);
}

}  // namespace

std::string DebugOutput(const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    auto it = State().output.find(image);
    return it == State().output.end() ? std::string() : it->second;
}

std::vector<std::string> DebugWrites(const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    auto it = State().writes.find(image);
    return it == State().writes.end() ? std::vector<std::string>() : it->second;
}

std::vector<std::string> DebugImages()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    return State().order;
}

std::vector<AssertRecord> Asserts(const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    std::vector<AssertRecord> out;
    for (const AssertRecord &r : State().asserts) {
        if (image.empty() || r.image == image) out.push_back(r);
    }
    return out;
}

void ClearDiagnostics()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    State() = Diagnostics();
}

namespace internal {
void ResetDiagnostics() { ClearDiagnostics(); }
}  // namespace internal

}  // namespace hk

namespace {

std::string TextOrEmpty(const void *p) { return p == nullptr ? std::string() : static_cast<const char *>(p); }

// "Any single call to DbgPrint ... will only transmit 512 bytes of
// information"; the rest of the text is lost (devtest/reading-and-filtering-
// debugging-messages).
constexpr size_t kDbgPrintLimit = 512;

// Whether |format| converts a wide character or string (%C %S %lc %ls %wc
// %ws %wZ): the conversion to the debugger's text is pageable code.
bool UsesWideConversion(const char *format)
{
    for (const char *p = format; p != nullptr && *p != 0; ++p) {
        if (*p != '%') continue;
        ++p;
        if (*p == '%') continue;
        while (*p != 0 && std::strchr("-+0 #*.0123456789", *p) != nullptr) ++p;
        const char size = *p;
        const char conversion = (size == 'l' || size == 'w' || size == 'h') ? p[1] : size;
        if (size == 'h' || conversion == 0) continue;
        if ((size == conversion && (conversion == 'C' || conversion == 'S')) ||
            ((size == 'l' || size == 'w') && (conversion == 'c' || conversion == 's')) ||
            (size == 'w' && conversion == 'Z')) {
            return true;
        }
    }
    return false;
}

void RecordAssert(const std::string &image, const void *failedAssertion, const void *fileName, ULONG lineNumber,
                  const char *message)
{
    hk::AssertRecord record;
    record.image = image;
    record.expression = TextOrEmpty(failedAssertion);
    record.file = TextOrEmpty(fileName);
    record.message = TextOrEmpty(message);
    record.line = lineNumber;
    const std::string text = "*** Assertion failed: " + record.message + record.expression + "\n***   Source File: " +
                             record.file + ", line " + std::to_string(lineNumber) + "\n\n";
    {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        hk::State().asserts.push_back(record);
    }
    hk::Append(record.image, text);
}

}  // namespace

extern "C" {

ULONG HK_CDECL DbgPrint(PCSTR format, ...)
{
    const std::string image = HK_CALLER_IMAGE();
    if (UsesWideConversion(format)) {
        hk::internal::CheckIrql(hk::internal::Ddi::DbgPrintWideFormat, __builtin_return_address(0));
    }
    va_list args;
    va_start(args, format);
    std::string text = hk::FormatKernelString(format, args);
    va_end(args);
    if (text.size() > kDbgPrintLimit) text.resize(kDbgPrintLimit);
    hk::AppendWrite(image, text);
    return STATUS_SUCCESS;
}

VOID NTAPI RtlAssert(PVOID failedAssertion, PVOID fileName, ULONG lineNumber, PCHAR message)
{
    RecordAssert(HK_CALLER_IMAGE(), failedAssertion, fileName, lineNumber, message);
}

// The checked header's own ASSERTs (wdm.h): what RtlAssert shows, and a
// finding of the verifier's, as a debugger breaking in on it would be.
VOID NTAPI hk_HeaderAssert(PCSTR expression, PCSTR file, ULONG line)
{
    const std::string image = HK_CALLER_IMAGE();
    RecordAssert(image, expression, file, line, nullptr);
    hk::ReportViolation("CHECKED_BUILD_ASSERT", image,
                        std::string("ASSERT(") + expression + ") of the DBG=1 kernel header failed at " + file +
                            ":" + std::to_string(line));
}

}  // extern "C"
