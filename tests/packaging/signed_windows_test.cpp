// korvel_dll.dll and korvel.exe signed as scripts/release.sh signs them
// (scripts/sign-windows.sh), with a throwaway self-signed certificate made
// here: osslsigncode verifies each signature, the signed program and DLL
// still drive an adapter under Wine, and a run without a usable certificate
// signs nothing.
#include "sim_adapter.h"
#include "tool_process.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tool_test {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::seconds kCommandTimeout{60};
constexpr const char *kSignerName = "korvel_dll throwaway signer";
constexpr const char *kPassword = "throwaway password";

std::string file_contents(const fs::path &path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ProcessResult run(const std::vector<std::string> &argv) {
  return run_process(argv, kCommandTimeout);
}

// A scratch folder with the certificate (as PEM, to trust it when verifying,
// and as the PKCS#12 file a release is signed with) and fresh copies of the
// two files, unsigned, side by side as in the zip's bin/.
class SignedWindowsFiles : public testing::Test {
protected:
  static void SetUpTestSuite() {
    std::string dir = (fs::temp_directory_path() / "korvel-signing-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    dir_ = dir;
    std::ofstream(dir_ / "password") << kPassword << '\n';
    const ProcessResult certificate =
        run({KORVEL_OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
             std::string("/CN=") + kSignerName, "-addext", "extendedKeyUsage=codeSigning",
             "-keyout", (dir_ / "key.pem").string(), "-out", (dir_ / "certificate.pem").string()});
    ASSERT_EQ(certificate.exit_code, 0) << certificate.errors;
    const ProcessResult bundle =
        run({KORVEL_OPENSSL, "pkcs12", "-export", "-inkey", (dir_ / "key.pem").string(), "-in",
             (dir_ / "certificate.pem").string(), "-out", (dir_ / "signer.p12").string(),
             "-passout", "file:" + (dir_ / "password").string()});
    ASSERT_EQ(bundle.exit_code, 0) << bundle.errors;
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    bin_ = dir_ / testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(bin_);
    for (const char *file : {KORVEL_WINDOWS_DLL, KORVEL_CLI_EXE}) {
      ASSERT_TRUE(fs::exists(file)) << file << ": build the windows preset first";
      fs::copy_file(file, bin_ / fs::path(file).filename(), fs::copy_options::overwrite_existing);
    }
    setenv("KORVEL_SIGN_PKCS12", (dir_ / "signer.p12").c_str(), 1);
    setenv("KORVEL_SIGN_PASSWORD_FILE", (dir_ / "password").c_str(), 1);
    unsetenv("KORVEL_SIGN_TIMESTAMP_URL");
  }

  fs::path dll() const { return bin_ / "korvel_dll.dll"; }
  fs::path exe() const { return bin_ / "korvel.exe"; }

  ProcessResult sign() const { return run({KORVEL_SIGN_SCRIPT, dll().string(), exe().string()}); }
  ProcessResult verify(const fs::path &file) const {
    return run({KORVEL_OSSLSIGNCODE, "verify", "-CAfile", (dir_ / "certificate.pem").string(),
                "-in", file.string()});
  }

  static fs::path dir_;
  fs::path bin_;
};

fs::path SignedWindowsFiles::dir_;

TEST_F(SignedWindowsFiles, EachSignatureVerifiesAndTheSignedFilesDriveAnAdapterUnderWine) {
  for (const fs::path &file : {dll(), exe()}) {
    EXPECT_NE(verify(file).exit_code, 0) << file << " verified before it was signed";
  }
  const ProcessResult signing = sign();
  ASSERT_EQ(signing.exit_code, 0) << signing.output << signing.errors;
  for (const fs::path &file : {dll(), exe()}) {
    EXPECT_TRUE(contains(signing.output, "signed: " + file.string())) << signing.output;
    const ProcessResult verified = verify(file);
    EXPECT_EQ(verified.exit_code, 0) << verified.output << verified.errors;
    EXPECT_TRUE(contains(verified.output, std::string("Subject: /CN=") + kSignerName))
        << verified.output;
  }

  ASSERT_TRUE(WineSession::get().ready()) << WineSession::get().failure();
  SimTool sim({"--wine-com", "5"});
  ASSERT_NE(sim.port(), "") << sim.process().errors();
  const ProcessResult version =
      WineSession::get().run_windows_program({exe().string(), "version", "COM5"}, kCommandTimeout);
  EXPECT_EQ(version.exit_code, kExitSuccess) << version.output << version.errors;
  EXPECT_TRUE(contains(version.output, std::string("version: ") + korvel::sim::kDefaultVersionText))
      << version.output;
}

TEST_F(SignedWindowsFiles, WithoutAUsableCertificateNothingIsSigned) {
  const std::string dll_before = file_contents(dll());
  const std::string exe_before = file_contents(exe());

  std::ofstream(dir_ / "wrong password") << "not the password\n";
  setenv("KORVEL_SIGN_PASSWORD_FILE", (dir_ / "wrong password").c_str(), 1);
  const ProcessResult refused = sign();
  EXPECT_NE(refused.exit_code, 0) << refused.output;
  EXPECT_TRUE(contains(refused.errors, "signing " + dll().string() + " failed")) << refused.errors;

  unsetenv("KORVEL_SIGN_PKCS12");
  const ProcessResult unsigned_run = sign();
  EXPECT_EQ(unsigned_run.exit_code, 0) << unsigned_run.errors;
  EXPECT_TRUE(unsigned_run.output.starts_with("UNSIGNED: KORVEL_SIGN_PKCS12 is not set"))
      << unsigned_run.output;

  EXPECT_EQ(file_contents(dll()), dll_before);
  EXPECT_EQ(file_contents(exe()), exe_before);
}

} // namespace
} // namespace tool_test
