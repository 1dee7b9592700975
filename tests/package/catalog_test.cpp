// The package's catalogs as Windows' catalog functions read them (Wine's wintrust and crypt32
// here): CryptCATOpen and CryptCATEnumerateMember find every file of a driver package by its hash
// and refuse changed files, other packages' files and a catalog made without one of the files;
// each catalog is a certificate trust list of the catalog kind, signed with the package's test
// certificate, naming each member's file and OS.
//
// The hash is the one Windows looks a file up by: CryptCATAdminCalcHashFromFileHandle2 with a
// SHA-256 administrator context. Wine 8 lacks that function, and its v1 function hashes any file
// whole with SHA-1 (Windows' v1 takes an image's Authenticode hash), so there the test hashes the
// bytes itself: an image's Authenticode hash ranges, held to the digest that the image's own
// signature (made by osslsigncode) carries, and a flat file whole, held to the v1 function's
// SHA-1. (imagehlp's ImageGetDigestStream is no help: Wine's leaves out bytes the image hash
// covers.)
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <bcrypt.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

const std::wstring PackageDir = PACKAGE_DIR;
const std::wstring CasesDir = CASES_DIR;

constexpr char CatalogListOid[] = "1.3.6.1.4.1.311.12.1.1";  // szOID_CATALOG_LIST
constexpr char CatalogMemberV2[] = "1.3.6.1.4.1.311.12.1.3"; // szOID_CATALOG_LIST_MEMBER_V2
constexpr char PeImageData[] = "1.3.6.1.4.1.311.2.1.15";     // SPC_PE_IMAGE_DATAOBJ
constexpr char CabData[] = "1.3.6.1.4.1.311.2.1.25";         // SPC_CAB_DATA_OBJID
constexpr char Sha256[] = "2.16.840.1.101.3.4.2.1";          // szOID_NIST_sha256

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text) {
        narrow.push_back(c < 128 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::wstring Hex(const std::vector<BYTE>& bytes)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring hex;
    for (BYTE b : bytes) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 15]);
    }
    return hex;
}

std::vector<BYTE> ReadFileBytes(const std::wstring& path)
{
    std::vector<BYTE> data;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return data;
    }
    data.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    if (!ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) ||
        read != data.size()) {
        data.clear();
    }
    CloseHandle(file);
    return data;
}

// A hash of the given bytes through the platform's CNG provider.
std::vector<BYTE> Hash(const wchar_t* algorithm, const std::vector<BYTE>& data,
                       const std::vector<std::pair<size_t, size_t>>& ranges)
{
    std::vector<BYTE> digest;
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    DWORD size = 0, got = 0;
    bool ok = BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, 0) >= 0 &&
              BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, reinterpret_cast<BYTE*>(&size),
                                sizeof(size), &got, 0) >= 0 &&
              BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
    for (auto [start, end] : ranges) {
        static const BYTE zeros[8] = {};
        const BYTE* bytes = end <= data.size() ? data.data() + start : zeros; // padding
        ok = ok && BCryptHashData(hash, const_cast<BYTE*>(bytes), ULONG(end - start), 0) >= 0;
    }
    if (ok) {
        digest.resize(size);
        if (BCryptFinishHash(hash, digest.data(), size, 0) < 0) {
            digest.clear();
        }
    }
    if (hash) {
        BCryptDestroyHash(hash);
    }
    if (provider) {
        BCryptCloseAlgorithmProvider(provider, 0);
    }
    return digest;
}

// The byte ranges the Authenticode image hash of a PE file covers: everything up to the
// certificate table but the checksum and the certificate table's directory entry (an image
// without one is padded with zeros to a multiple of 8). Empty for a file that is no PE image.
std::vector<std::pair<size_t, size_t>> ImageHashRanges(const std::vector<BYTE>& data)
{
    auto dword = [&](size_t at) { return at + 4 <= data.size() ? *(DWORD*)&data[at] : 0; };
    if (data.size() < 0x40 || data[0] != 'M' || data[1] != 'Z') {
        return {};
    }
    size_t nt = dword(0x3C);
    if (dword(nt) != IMAGE_NT_SIGNATURE) {
        return {};
    }
    size_t optional = nt + 4 + sizeof(IMAGE_FILE_HEADER);
    WORD magic = optional + 2 <= data.size() ? *(WORD*)&data[optional] : 0;
    size_t checksum = optional + offsetof(IMAGE_OPTIONAL_HEADER64, CheckSum);
    size_t security;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        security = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) +
                   IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        security = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) +
                   IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY);
    } else {
        return {};
    }
    size_t table = dword(security), tableSize = dword(security + 4);
    size_t end = table && tableSize ? table : data.size();
    if (end > data.size() || end < security + 8) {
        return {};
    }
    std::vector<std::pair<size_t, size_t>> ranges = {
        {0, checksum}, {checksum + 4, security}, {security + 8, end}};
    if (end == data.size() && data.size() % 8) {
        ranges.push_back({data.size(), data.size() + 8 - data.size() % 8});
    }
    return ranges;
}

// The v2 functions, looked up: mingw's import library lacks them, and Wine 8's wintrust lacks
// CryptCATAdminCalcHashFromFileHandle2.
using AcquireContext2 = BOOL(WINAPI*)(HCATADMIN*, const GUID*, const WCHAR*,
                                      const CERT_STRONG_SIGN_PARA*, DWORD);
using CalcHash2 = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);

template <typename Function> Function Wintrust(const char* name)
{
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"wintrust.dll"), name)));
}

struct FileHash {
    std::vector<BYTE> Digest;
    bool PeImage = false;
    std::string Failure; // why there is no digest
};

// The file's hash as the catalog functions look it up.
FileHash HashOf(const std::wstring& path)
{
    FileHash result;
    std::vector<BYTE> data = ReadFileBytes(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (data.empty() || file == INVALID_HANDLE_VALUE) {
        result.Failure = "cannot read the file";
        return result;
    }
    auto ranges = ImageHashRanges(data);
    result.PeImage = !ranges.empty();
    if (ranges.empty()) {
        ranges = {{0, data.size()}};
    }
    auto acquire2 = Wintrust<AcquireContext2>("CryptCATAdminAcquireContext2");
    auto calc2 = Wintrust<CalcHash2>("CryptCATAdminCalcHashFromFileHandle2");
    HCATADMIN admin = nullptr;
    if (acquire2 && calc2) {
        if (acquire2(&admin, nullptr, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) {
            DWORD size = 32;
            result.Digest.resize(size);
            if (!calc2(admin, file, &size, result.Digest.data(), 0) || size != 32) {
                result.Digest.clear();
                result.Failure = "CryptCATAdminCalcHashFromFileHandle2 failed";
            }
            CryptCATAdminReleaseContext(admin, 0);
        }
    } else if (result.PeImage) {
        // Wine 8: the ranges are held to each image's own signature (ImageHash below).
        result.Digest = Hash(BCRYPT_SHA256_ALGORITHM, data, ranges);
    } else {
        // Wine 8: its v1 function's SHA-1 of a flat file vouches for the bytes hashed.
        BYTE sha1[20];
        DWORD size = sizeof(sha1);
        if (!CryptCATAdminCalcHashFromFileHandle(file, &size, sha1, 0) || size != 20) {
            result.Failure = "CryptCATAdminCalcHashFromFileHandle failed";
        } else if (std::vector<BYTE>(sha1, sha1 + 20) !=
                   Hash(BCRYPT_SHA1_ALGORITHM, data, ranges)) {
            result.Failure = "CryptCATAdminCalcHashFromFileHandle hashes other bytes";
        } else {
            result.Digest = Hash(BCRYPT_SHA256_ALGORITHM, data, ranges);
        }
    }
    CloseHandle(file);
    return result;
}

// One member as CryptCATEnumerateMember gives it.
struct Member {
    std::wstring Tag;
    std::vector<BYTE> Digest;
    std::string DigestAlgorithm;
    std::string Kind;
};

// Every member of a catalog, or nothing if CryptCATOpen refuses it.
bool ReadMembers(const std::wstring& catalog, std::vector<Member>* members)
{
    std::wstring path = catalog;
    HANDLE handle = CryptCATOpen(&path[0], CRYPTCAT_OPEN_EXISTING, 0, CRYPTCAT_VERSION_2, 0);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return false;
    }
    CRYPTCATMEMBER* member = nullptr;
    while ((member = CryptCATEnumerateMember(handle, member)) != nullptr) {
        Member m;
        m.Tag = member->pwszReferenceTag ? member->pwszReferenceTag : L"";
        if (member->pIndirectData) {
            const SIP_INDIRECT_DATA* data = member->pIndirectData;
            m.Digest.assign(data->Digest.pbData, data->Digest.pbData + data->Digest.cbData);
            m.DigestAlgorithm =
                data->DigestAlgorithm.pszObjId ? data->DigestAlgorithm.pszObjId : "";
            m.Kind = data->Data.pszObjId ? data->Data.pszObjId : "";
        }
        members->push_back(m);
    }
    CryptCATClose(handle);
    return true;
}

// The digest an image's own Authenticode signature carries, through crypt32.
std::vector<BYTE> SignedDigest(const std::wstring& path)
{
    std::vector<BYTE> digest;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return digest;
    }
    DWORD size = 0;
    ImageGetCertificateData(file, 0, nullptr, &size);
    std::vector<BYTE> buffer(size);
    auto* certificate = reinterpret_cast<WIN_CERTIFICATE*>(buffer.data());
    bool ok = size > sizeof(WIN_CERTIFICATE) &&
              ImageGetCertificateData(file, 0, certificate, &size) &&
              certificate->wCertificateType == WIN_CERT_TYPE_PKCS_SIGNED_DATA;
    CloseHandle(file);
    HCRYPTMSG message = ok ? CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0,
                                                  nullptr, nullptr)
                           : nullptr;
    std::vector<BYTE> content;
    DWORD length = 0;
    ok = message &&
         CryptMsgUpdate(message, certificate->bCertificate,
                        certificate->dwLength - offsetof(WIN_CERTIFICATE, bCertificate), TRUE) &&
         CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, nullptr, &length);
    content.resize(length);
    ok = ok && CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, content.data(), &length);
    if (message) {
        CryptMsgClose(message);
    }
    DWORD decoded = 0;
    ok = ok && CryptDecodeObject(X509_ASN_ENCODING, SPC_INDIRECT_DATA_CONTENT_STRUCT,
                                 content.data(), length, 0, nullptr, &decoded);
    std::vector<BYTE> indirect(decoded);
    if (ok && CryptDecodeObject(X509_ASN_ENCODING, SPC_INDIRECT_DATA_CONTENT_STRUCT, content.data(),
                                length, 0, indirect.data(), &decoded)) {
        auto* data = reinterpret_cast<SPC_INDIRECT_DATA_CONTENT*>(indirect.data());
        digest.assign(data->Digest.pbData, data->Digest.pbData + data->Digest.cbData);
    }
    return digest;
}

// The image hash the lookups use is the one the images were signed with.
class ImageHash : public testing::TestWithParam<const wchar_t*> {};

TEST_P(ImageHash, IsTheDigestTheImageIsSignedWith)
{
    std::wstring path = PackageDir + L"\\" + GetParam();
    std::vector<BYTE> data = ReadFileBytes(path);
    auto ranges = ImageHashRanges(data);
    ASSERT_FALSE(ranges.empty()) << Narrow(path) << " is no PE image";
    std::vector<BYTE> signedDigest = SignedDigest(path);
    ASSERT_EQ(signedDigest.size(), 32u) << Narrow(path) << ": no SHA-256 signature digest";
    EXPECT_EQ(Narrow(Hex(Hash(BCRYPT_SHA256_ALGORITHM, data, ranges))), Narrow(Hex(signedDigest)));
}

INSTANTIATE_TEST_SUITE_P(Package, ImageHash,
                         testing::Values(L"corcard.sys", L"corserial.sys", L"TRVPAGE.DLL"),
                         [](const testing::TestParamInfo<const wchar_t*>& info) {
                             std::string name = Narrow(info.param);
                             name.erase(name.find('.'));
                             return name;
                         });

// Is the file, as it is at path, a member of the catalog?
struct LookupCase {
    const char* Name;
    std::wstring Catalog;
    std::wstring File;
    bool Member;
};

const LookupCase LookupCases[] = {
    {"CardInf", PackageDir + L"\\corcard.cat", PackageDir + L"\\corcard.inf", true},
    {"CardImage", PackageDir + L"\\corcard.cat", PackageDir + L"\\corcard.sys", true},
    {"PortInf", PackageDir + L"\\corport.cat", PackageDir + L"\\corport.inf", true},
    {"PortDriver", PackageDir + L"\\corport.cat", PackageDir + L"\\corserial.sys", true},
    {"PortPages", PackageDir + L"\\corport.cat", PackageDir + L"\\TRVPAGE.DLL", true},
    // The other package's files.
    {"CardCatalogPortDriver", PackageDir + L"\\corcard.cat", PackageDir + L"\\corserial.sys",
     false},
    {"CardCatalogPortInf", PackageDir + L"\\corcard.cat", PackageDir + L"\\corport.inf", false},
    {"PortCatalogCardImage", PackageDir + L"\\corport.cat", PackageDir + L"\\corcard.sys", false},
    // Copies with one byte changed.
    {"ChangedCardInf", PackageDir + L"\\corcard.cat", CasesDir + L"\\corcard.inf", false},
    {"ChangedCardImage", PackageDir + L"\\corcard.cat", CasesDir + L"\\corcard.sys", false},
    {"ChangedPortInf", PackageDir + L"\\corport.cat", CasesDir + L"\\corport.inf", false},
    {"ChangedPortDriver", PackageDir + L"\\corport.cat", CasesDir + L"\\corserial.sys", false},
    // A catalog made without TRVPAGE.DLL still covers the other two.
    {"WithoutPagesPages", CasesDir + L"\\corport-without-pages.cat", PackageDir + L"\\TRVPAGE.DLL",
     false},
    {"WithoutPagesInf", CasesDir + L"\\corport-without-pages.cat", PackageDir + L"\\corport.inf",
     true},
    {"WithoutPagesDriver", CasesDir + L"\\corport-without-pages.cat",
     PackageDir + L"\\corserial.sys", true},
};

class CatalogLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(CatalogLookup, FindsExactlyTheFilesItCovers)
{
    const LookupCase& c = GetParam();
    FileHash hash = HashOf(c.File);
    ASSERT_EQ(hash.Digest.size(), 32u) << Narrow(c.File) << ": " << hash.Failure;
    std::vector<Member> members;
    ASSERT_TRUE(ReadMembers(c.Catalog, &members))
        << "CryptCATOpen refused " << Narrow(c.Catalog) << " (" << GetLastError() << ")";
    ASSERT_FALSE(members.empty()) << Narrow(c.Catalog) << " has no members";

    auto found = std::find_if(members.begin(), members.end(),
                              [&](const Member& m) { return m.Digest == hash.Digest; });
    EXPECT_EQ(found != members.end(), c.Member)
        << Narrow(c.File) << " (" << Narrow(Hex(hash.Digest)) << ") against " << Narrow(c.Catalog);
    if (found != members.end()) {
        // The member says how it was hashed: SHA-256, as a PE image or as a flat file.
        EXPECT_EQ(found->DigestAlgorithm, Sha256);
        EXPECT_EQ(found->Kind, hash.PeImage ? PeImageData : CabData);
        EXPECT_EQ(found->Tag, Hex(hash.Digest));
    }
}

INSTANTIATE_TEST_SUITE_P(Package, CatalogLookup, testing::ValuesIn(LookupCases),
                         [](const testing::TestParamInfo<LookupCase>& info) {
                             return std::string(info.param.Name);
                         });

// The trust list itself, as crypt32 decodes it.
struct ListCase {
    const char* Name;
    std::wstring Catalog;
    std::set<std::wstring> Files;
};

const ListCase ListCases[] = {
    {"Card", PackageDir + L"\\corcard.cat", {L"corcard.inf", L"corcard.sys"}},
    {"Port", PackageDir + L"\\corport.cat", {L"corport.inf", L"corserial.sys", L"TRVPAGE.DLL"}},
    {"WithoutPages", CasesDir + L"\\corport-without-pages.cat", {L"corport.inf", L"corserial.sys"}},
};

// The name and text of a CAT_NAMEVALUE attribute value.
bool DecodeNameValue(const BYTE* data, DWORD size, std::wstring* name, std::wstring* value)
{
    DWORD needed = 0;
    if (!CryptDecodeObject(X509_ASN_ENCODING, CAT_NAMEVALUE_STRUCT, data, size, 0, nullptr,
                           &needed)) {
        return false;
    }
    std::vector<BYTE> buffer(needed);
    if (!CryptDecodeObject(X509_ASN_ENCODING, CAT_NAMEVALUE_STRUCT, data, size, 0, buffer.data(),
                           &needed)) {
        return false;
    }
    auto* pair = reinterpret_cast<CAT_NAMEVALUE*>(buffer.data());
    *name = pair->pwszTag;
    value->assign(reinterpret_cast<const wchar_t*>(pair->Value.pbData),
                  pair->Value.cbData / sizeof(wchar_t));
    while (!value->empty() && value->back() == L'\0') {
        value->pop_back();
    }
    return true;
}

class CatalogList : public testing::TestWithParam<ListCase> {};

TEST_P(CatalogList, IsASignedCatalogOfItsFiles)
{
    const ListCase& c = GetParam();
    std::vector<BYTE> der = ReadFileBytes(c.Catalog);
    ASSERT_FALSE(der.empty()) << Narrow(c.Catalog);

    // Signed by the package's test certificate.
    CRYPT_VERIFY_MESSAGE_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    PCCERT_CONTEXT signer = nullptr;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, der.data(), static_cast<DWORD>(der.size()),
                                            nullptr, nullptr, &signer))
        << "signature of " << Narrow(c.Catalog) << " (" << std::hex << GetLastError() << ")";
    std::vector<BYTE> cer = ReadFileBytes(PackageDir + L"\\corran-test.cer");
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(
        std::vector<BYTE>(signer->pbCertEncoded, signer->pbCertEncoded + signer->cbCertEncoded),
        cer);
    CertFreeCertificateContext(signer);

    PCCTL_CONTEXT ctl = CertCreateCTLContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                             static_cast<DWORD>(der.size()));
    ASSERT_NE(ctl, nullptr) << "not a trust list (" << std::hex << GetLastError() << ")";
    const CTL_INFO* info = ctl->pCtlInfo;
    ASSERT_EQ(info->SubjectUsage.cUsageIdentifier, 1u);
    EXPECT_STREQ(info->SubjectUsage.rgpszUsageIdentifier[0], CatalogListOid);
    EXPECT_STREQ(info->SubjectAlgorithm.pszObjId, CatalogMemberV2);
    EXPECT_GT(info->ListIdentifier.cbData, 0u);

    // The catalog's OS, as Inf2Cat writes it for Windows 10 and 11 x64.
    std::wstring os;
    for (DWORD i = 0; i < info->cExtension; i++) {
        std::wstring name, value;
        if (!strcmp(info->rgExtension[i].pszObjId, CAT_NAMEVALUE_OBJID) &&
            DecodeNameValue(info->rgExtension[i].Value.pbData, info->rgExtension[i].Value.cbData,
                            &name, &value) &&
            name == L"OS") {
            os = value;
        }
    }
    EXPECT_EQ(Narrow(os), "_v100_X64");

    // One member per file, each naming its file and OS.
    std::set<std::wstring> files;
    for (DWORD i = 0; i < info->cCTLEntry; i++) {
        const CTL_ENTRY& entry = info->rgCTLEntry[i];
        std::wstring file, osAttr;
        for (DWORD a = 0; a < entry.cAttribute; a++) {
            const CRYPT_ATTRIBUTE& attr = entry.rgAttribute[a];
            std::wstring name, value;
            if (!strcmp(attr.pszObjId, CAT_NAMEVALUE_OBJID) && attr.cValue == 1 &&
                DecodeNameValue(attr.rgValue[0].pbData, attr.rgValue[0].cbData, &name, &value)) {
                if (name == L"File") {
                    file = value;
                } else if (name == L"OSAttr") {
                    osAttr = value;
                }
            }
        }
        EXPECT_EQ(Narrow(osAttr), "2:10.0") << Narrow(file);
        EXPECT_TRUE(files.insert(file).second) << Narrow(file) << " listed twice";
    }
    EXPECT_EQ(files, c.Files);
    CertFreeCTLContext(ctl);
}

INSTANTIATE_TEST_SUITE_P(Package, CatalogList, testing::ValuesIn(ListCases),
                         [](const testing::TestParamInfo<ListCase>& info) {
                             return std::string(info.param.Name);
                         });

} // namespace
