// The updater's file work: verdicts on installers, digests and the clean-up of the updates folder.
#include "update/installer_handoff.h"
#include "update/verification.h"
#include "platform/text.h"
#include "../unit/test_folder.h"
#include "fixture_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

using namespace velmora;

TEST(Verification, TellsWhySignaturesAreRefusedAndDigestsWholeFiles)
{
    const std::pair<const char *, const char *> cases[] = {
        {"installer-other.exe", "signed by someone else (Someone Else Ltd)"},
        {"installer-lowercase.exe", "signed by someone else (velmora test publisher)"},
        {"installer-unsigned.exe", "not trusted by Windows (0x800b0100)"},
        {"installer-modified.exe", "not trusted by Windows (0x80096010)"},
        {"trust-root.pem", "not trusted by Windows (0x800b0003)"},
#ifndef _WIN32
        // Wine checks neither the root nor the certificate's usage, and reports a missing file
        // by its plain error number: these are for the Linux verifier to prove.
        {"installer-stranger.exe", "not trusted by Windows (0x800b0109)"},
        {"installer-server-usage.exe", "not trusted by Windows (0x800b0110)"},
        {"missing.exe", "not trusted by Windows (0x80092003)"},
        // A certificate that has expired since: fine only with a timestamp from when it was valid.
        {"installer-expired.exe", "not trusted by Windows (0x800b0101)"},
        {"installer-expired-stamped.exe", ""},
        {"installer-expired-stamped-late.exe", "not trusted by Windows (0x800b0101)"},
#endif
    };
    for (auto [file, why] : cases) {
        std::string reason = "untouched";
        EXPECT_EQ(check_installer_signature(wide(fixture(file)), reason), !*why) << file;
        EXPECT_EQ(reason, *why ? why : "untouched") << file;
    }

    TestFolder folder;
#ifndef _WIN32
    // A certificate table of 1 to 3 bytes at the very end: too short to hold its own header.
    std::ifstream in(fixture("installer-unsigned.exe"), std::ios::binary);
    const std::string unsigned_pe((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::uint32_t table = 1; table <= 3; ++table) {
        std::string pe = unsigned_pe; // PE fields are little-endian, as this machine is
        std::uint32_t optional = 0, at_end = static_cast<std::uint32_t>(pe.size());
        std::memcpy(&optional, &pe[0x3c], 4);
        optional += 24;
        std::size_t entry = optional + (pe[optional] == 0x0b && pe[optional + 1] == 0x02 ? 112 : 96) + 4 * 8;
        std::memcpy(&pe[entry], &at_end, 4);
        std::memcpy(&pe[entry + 4], &table, 4);
        pe.append(table, '\x02');
        folder.write("short-table.exe", pe);
        std::string reason;
        EXPECT_FALSE(check_installer_signature(wide(folder.file("short-table.exe")), reason));
        EXPECT_EQ(reason, "not trusted by Windows (0x800b0100)") << table << " bytes";
    }
#endif

    // Digests as `openssl dgst -sha256` computes them, over many reads.
    std::string pattern;
    for (std::size_t i = 0; i < 1048576 + 7; ++i)
        pattern.push_back(static_cast<char>((i * 31) % 251));
    folder.write("pattern.bin", pattern);
    folder.write("empty", "");
    std::uint64_t bytes = 99;
    EXPECT_EQ(sha256_file(wide(folder.file("pattern.bin")), &bytes),
              "2c562db98899756865dd370ad01db6159fd2eb444b3afb682b87a8b66fabb8e8");
    EXPECT_EQ(bytes, pattern.size());
    EXPECT_EQ(sha256_file(wide(folder.file("empty")), &bytes),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(bytes, 0u);
    bytes = 99;
    EXPECT_EQ(sha256_file(wide(folder.file("missing")), &bytes), "");
    EXPECT_EQ(bytes, 99u);
    EXPECT_EQ(sha256_file(wide(folder.file("")), &bytes), ""); // a folder cannot be read as a file
}

TEST(UpdatesFolder, CleanUpDeletesOnlyStaleDownloads)
{
    TestFolder folder;
    const std::pair<const char *, bool> cases[] = {// name, kept
                                                   {"Velmora-for-OBS-1.0.1-Setup.exe", false},
                                                   {"Velmora-for-OBS-1.0.0-Setup.exe", false},
                                                   {"Velmora-for-OBS-0.9.99-Setup.exe", false},
                                                   {"Velmora-for-OBS-1.0.2-Setup.exe.part", false},
                                                   {"x.part", false},
                                                   {"Velmora-for-OBS-1.0.2-Setup.exe", true},
                                                   {"Velmora-for-OBS-1.0.10-Setup.exe", true},
                                                   {"install-1.0.2.log", true},
                                                   {"Velmora-for-OBS--Setup.exe", true},
                                                   {"Velmora-for-OBS-1.0.4294967298-Setup.exe", false},
                                                   {".part", true},
                                                   {"notes.txt", true}};
    for (auto [name, kept] : cases)
        folder.write(name, "x");
    clean_updates_folder(wide(folder.file("")));
    for (auto [name, kept] : cases)
        EXPECT_EQ(folder.exists(name), kept) << name;
}
