#include "frame/ErrorReporting.h"

#include "frame/Log.h"
#include "tarvik/comptr.h"
#include "tarvik/text.h"

namespace tarvik::frame {

ComError::ComError(HRESULT code, std::string_view appended)
    : code_(code), appended_(FromAnsi(appended)) {}

namespace {

// The ProgID registered for `clsid`; empty when the class is not registered.
std::u16string RegisteredProgId(const CLSID& clsid) {
    LPOLESTR progId = nullptr;
    if (FAILED(ProgIDFromCLSID(clsid, &progId)) || !progId)
        return {};
    std::u16string result;
    try {
        result = progId;
    } catch (...) {
        result.clear();
    }
    CoTaskMemFree(progId);
    return result;
}

void SetFailureInfo(const ErrorRow& row, std::u16string_view appended) noexcept {
    try {
        std::u16string description = FromAnsi(row.traceText ? row.traceText : "");
        description.append(appended);

        ComPtr<ICreateErrorInfo> create;
        if (FAILED(CreateErrorInfo(create.Put())) || !create)
            return;
        create->SetGUID(row.iid ? *row.iid : GUID_NULL);
        if (row.clsid) {
            std::u16string source = RegisteredProgId(*row.clsid);
            if (!source.empty())
                create->SetSource(source.data());
        }
        create->SetDescription(description.data());
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, info.PutVoid())) && info)
            SetErrorInfo(0, info.Get());
    } catch (...) {
        // A conversion that ran out of memory: the host gets the code without
        // a description.
    }
}

}  // namespace

HRESULT ReportFailure(ILogWriter* log, const ErrorRow& row, HRESULT code,
                      std::u16string_view appended) noexcept {
    if (log && row.functionText) {
        try {
            LogEntry(log, row.markA, row.markB, row.functionText, row.message);
        } catch (...) {
            // Logging never fails an operation.
        }
    }
    SetFailureInfo(row, appended);
    return FAILED(code) ? code : E_FAIL;
}

std::u16string CalleeErrorDescription(IUnknown* callee, REFIID iid) noexcept {
    if (!callee)
        return {};
    try {
        ComPtr<ISupportErrorInfo> support;
        if (FAILED(callee->QueryInterface(IID_ISupportErrorInfo, support.PutVoid())) || !support)
            return {};
        if (support->InterfaceSupportsErrorInfo(iid) != S_OK)
            return {};
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Put()) != S_OK || !info)
            return {};
        Bstr description;
        if (FAILED(info->GetDescription(description.Put())))
            return {};
        return std::u16string(description.View());
    } catch (...) {
        return {};
    }
}

void ThrowFromCallee(HRESULT code, IUnknown* callee, REFIID iid) {
    throw ComError(code, CalleeErrorDescription(callee, iid));
}

}  // namespace tarvik::frame
