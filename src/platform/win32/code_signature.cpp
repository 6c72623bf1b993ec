#include "platform/code_signature.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cwchar>

namespace velmora::platform {

namespace {

constexpr DWORD common_name_units = 256;

// The signing certificate's subject common name, read from the trust state of a verified file.
void read_signer(HANDLE state, SignatureCheck &check)
{
    CRYPT_PROVIDER_DATA *provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR *signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT *certificate = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (!certificate || !certificate->pCert)
        return;
    wchar_t name[common_name_units] = {};
    CertGetNameStringW(certificate->pCert, CERT_NAME_ATTR_TYPE, 0, const_cast<char *>(szOID_COMMON_NAME),
                       name, common_name_units);
    check.has_signer = true;
    check.signer_common_name.assign(reinterpret_cast<const char16_t *>(name),
                                    wcsnlen(name, common_name_units));
}

} // namespace

SignatureCheck check_code_signature(const std::u16string &path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = reinterpret_cast<const wchar_t *>(path.c_str());

    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    // Nothing is fetched: a check must not wait on the network, least of all at exit.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    SignatureCheck check;
    check.result =
        static_cast<std::uint32_t>(WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data));
    if (check.result == trust_ok)
        read_signer(data.hWVTStateData, check);

    // The state is kept by the verify action whatever its verdict.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return check;
}

} // namespace velmora::platform
