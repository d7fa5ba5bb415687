// Error numbers, their kinds and the texts the Python layer shows for them.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/io_error.hpp"
#include "core/utf8.hpp"

namespace {

using pluvo::ErrorKind;
using pluvo::IoError;
using pluvo::kind_from_os_code;

struct NumberKind {
  int code;
  const char* name;
  ErrorKind kind;
};

// Linux numbers written out rather than taken from <cerrno>, so a wrong macro cannot hide here.
const std::vector<NumberKind> kListed = {
    {1, "EPERM", ErrorKind::PermissionDenied},
    {13, "EACCES", ErrorKind::PermissionDenied},
    {2, "ENOENT", ErrorKind::NotFound},
    {4, "EINTR", ErrorKind::Interrupted},
    {7, "E2BIG", ErrorKind::ArgumentListTooLong},
    {11, "EAGAIN", ErrorKind::WouldBlock},
    {12, "ENOMEM", ErrorKind::OutOfMemory},
    {16, "EBUSY", ErrorKind::ResourceBusy},
    {17, "EEXIST", ErrorKind::AlreadyExists},
    {18, "EXDEV", ErrorKind::CrossesDevices},
    {20, "ENOTDIR", ErrorKind::NotADirectory},
    {21, "EISDIR", ErrorKind::IsADirectory},
    {22, "EINVAL", ErrorKind::InvalidInput},
    {26, "ETXTBSY", ErrorKind::ExecutableFileBusy},
    {27, "EFBIG", ErrorKind::FileTooLarge},
    {28, "ENOSPC", ErrorKind::StorageFull},
    {29, "ESPIPE", ErrorKind::NotSeekable},
    {30, "EROFS", ErrorKind::ReadOnlyFilesystem},
    {31, "EMLINK", ErrorKind::TooManyLinks},
    {32, "EPIPE", ErrorKind::BrokenPipe},
    {35, "EDEADLK", ErrorKind::Deadlock},
    {36, "ENAMETOOLONG", ErrorKind::InvalidFilename},
    {38, "ENOSYS", ErrorKind::Unsupported},
    {95, "EOPNOTSUPP", ErrorKind::Unsupported},
    {39, "ENOTEMPTY", ErrorKind::DirectoryNotEmpty},
    {40, "ELOOP", ErrorKind::FilesystemLoop},
    {98, "EADDRINUSE", ErrorKind::AddrInUse},
    {99, "EADDRNOTAVAIL", ErrorKind::AddrNotAvailable},
    {100, "ENETDOWN", ErrorKind::NetworkDown},
    {101, "ENETUNREACH", ErrorKind::NetworkUnreachable},
    {103, "ECONNABORTED", ErrorKind::ConnectionAborted},
    {104, "ECONNRESET", ErrorKind::ConnectionReset},
    {107, "ENOTCONN", ErrorKind::NotConnected},
    {110, "ETIMEDOUT", ErrorKind::TimedOut},
    {111, "ECONNREFUSED", ErrorKind::ConnectionRefused},
    {113, "EHOSTUNREACH", ErrorKind::HostUnreachable},
    {115, "EINPROGRESS", ErrorKind::InProgress},
    {116, "ESTALE", ErrorKind::StaleNetworkFileHandle},
    {122, "EDQUOT", ErrorKind::QuotaExceeded},
};

// Neighbours of listed numbers and numbers a mapping might plausibly (and wrongly) claim.
const std::vector<NumberKind> kUnlisted = {
    {0, "zero", ErrorKind::Uncategorized},        {3, "ESRCH", ErrorKind::Uncategorized},
    {5, "EIO", ErrorKind::Uncategorized},         {9, "EBADF", ErrorKind::Uncategorized},
    {14, "EFAULT", ErrorKind::Uncategorized},     {19, "ENODEV", ErrorKind::Uncategorized},
    {23, "ENFILE", ErrorKind::Uncategorized},     {24, "EMFILE", ErrorKind::Uncategorized},
    {25, "ENOTTY", ErrorKind::Uncategorized},     {33, "EDOM", ErrorKind::Uncategorized},
    {34, "ERANGE", ErrorKind::Uncategorized},     {61, "ENODATA", ErrorKind::Uncategorized},
    {75, "EOVERFLOW", ErrorKind::Uncategorized},  {84, "EILSEQ", ErrorKind::Uncategorized},
    {105, "ENOBUFS", ErrorKind::Uncategorized},   {112, "EHOSTDOWN", ErrorKind::Uncategorized},
    {114, "EALREADY", ErrorKind::Uncategorized},  {121, "EREMOTEIO", ErrorKind::Uncategorized},
    {125, "ECANCELED", ErrorKind::Uncategorized}, {4000, "n4000", ErrorKind::Uncategorized},
};

void PrintTo(const NumberKind& c, std::ostream* os) {
  *os << c.name << " (" << c.code << ") -> kind " << static_cast<int>(c.kind);
}

std::string case_name(const ::testing::TestParamInfo<NumberKind>& info) {
  return std::string(info.param.name) + "_" + std::to_string(info.param.code);
}

class IoErrorKindTable : public ::testing::TestWithParam<NumberKind> {};

TEST_P(IoErrorKindTable, NumberGivesItsKind) {
  const NumberKind& c = GetParam();
  EXPECT_EQ(kind_from_os_code(c.code), c.kind);

  const IoError error = IoError::from_os_code(c.code);
  EXPECT_TRUE(error.is_os_error());
  EXPECT_EQ(error.os_code(), c.code);
  EXPECT_EQ(error.kind(), c.kind);
}

INSTANTIATE_TEST_SUITE_P(IoErrorListed, IoErrorKindTable, ::testing::ValuesIn(kListed), case_name);
INSTANTIATE_TEST_SUITE_P(IoErrorUnlisted, IoErrorKindTable, ::testing::ValuesIn(kUnlisted),
                         case_name);

// Catches an extra case label that the per-number table above does not happen to probe.
TEST(IoErrorKind, EveryOtherNumberIsUncategorized) {
  std::set<int> listed;
  for (const NumberKind& c : kListed) listed.insert(c.code);
  std::vector<int> codes = {-1, INT_MIN, INT_MAX, 4096, 65535};
  for (int code = 0; code <= 1000; ++code) codes.push_back(code);
  for (int code : codes) {
    if (listed.count(code) != 0) continue;
    EXPECT_EQ(kind_from_os_code(code), ErrorKind::Uncategorized) << "error number " << code;
  }
}

class IoErrorOsText : public ::testing::TestWithParam<int> {};

TEST_P(IoErrorOsText, IsTheLibraryDescriptionThenTheNumber) {
  const int code = GetParam();
  const std::string expected =
      std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
  EXPECT_EQ(IoError::from_os_code(code).text(), expected);
}

INSTANTIATE_TEST_SUITE_P(IoErrorNumbers, IoErrorOsText,
                         ::testing::Values(0, 1, 2, 5, 13, 20, 21, 22, 29, 36, 40, 95, 122, 133,
                                           4000, 123456));

#ifdef __GLIBC__
TEST(IoErrorOsText, GlibcWordingIsKept) {
  EXPECT_EQ(IoError::from_os_code(2).text(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::from_os_code(21).text(), "Is a directory (os error 21)");
  EXPECT_EQ(IoError::from_os_code(29).text(), "Illegal seek (os error 29)");
  EXPECT_EQ(IoError::from_os_code(4000).text(), "Unknown error 4000 (os error 4000)");
}
#endif

struct FixedCase {
  const char* name;
  IoError (*make)();
  ErrorKind kind;
  const char* text;
};

void PrintTo(const FixedCase& c, std::ostream* os) {
  *os << c.name;
}

class IoErrorFixed : public ::testing::TestWithParam<FixedCase> {};

TEST_P(IoErrorFixed, HasItsKindAndMessageAndNoNumber) {
  const FixedCase& c = GetParam();
  const IoError error = c.make();
  EXPECT_FALSE(error.is_os_error());
  EXPECT_EQ(error.kind(), c.kind);
  EXPECT_EQ(error.text(), c.text);

  // Copies travel through Result and Status by value.
  const IoError copy = error;
  EXPECT_FALSE(copy.is_os_error());
  EXPECT_EQ(copy.kind(), c.kind);
  EXPECT_EQ(copy.text(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    IoErrorMessages, IoErrorFixed,
    ::testing::Values(FixedCase{"UnexpectedEof", &IoError::unexpected_eof, ErrorKind::UnexpectedEof,
                                "failed to fill whole buffer"},
                      FixedCase{"NulInPath", &IoError::nul_in_path, ErrorKind::InvalidInput,
                                "file name contained an unexpected NUL byte"}),
    [](const ::testing::TestParamInfo<FixedCase>& info) { return std::string(info.param.name); });

// The fixed InvalidInput error and EINVAL share a kind but must keep their own texts.
TEST(IoErrorFixed, DiffersFromTheOsErrorOfTheSameKind) {
  const IoError os = IoError::from_os_code(22);
  const IoError fixed = IoError::nul_in_path();
  EXPECT_EQ(os.kind(), fixed.kind());
  EXPECT_TRUE(os.is_os_error());
  EXPECT_NE(os.text(), fixed.text());
}

}  // namespace

namespace {

struct Case {
  const char* name;
  std::string_view bytes;
  std::string_view text;
};

class Utf8Lossy : public ::testing::TestWithParam<Case> {};

TEST_P(Utf8Lossy, ReplacesEachMaximalIllFormedSequenceOnce) {
  EXPECT_EQ(pluvo::utf8_lossy(GetParam().bytes), GetParam().text);
}

#define R "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Utf8, Utf8Lossy,
    ::testing::Values(Case{"Empty", "", ""}, Case{"Ascii", "Is a directory", "Is a directory"},
                      Case{"TwoByte", "caf\xC3\xA9", "caf\xC3\xA9"},
                      Case{"FourByte", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                      Case{"LoneContinuation",
                           "a\x80"
                           "b",
                           "a" R "b"},
                      Case{"InvalidLead", "\xFF", R}, Case{"TruncatedAtEnd", "x\xE2\x82", "x" R},
                      Case{"TruncatedBeforeAscii",
                           "\xE2\x82"
                           "A",
                           R "A"},
                      Case{"Surrogate", "\xED\xA0\x80", R R R},
                      Case{"BeyondUnicode", "\xF4\x90\x80\x80", R R R R},
                      Case{"Overlong", "\xC0\xAF", R R},
                      Case{"TruncatedFourByte", "\xF0\x9F\x98", R}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });
#undef R

}  // namespace
