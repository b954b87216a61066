// Plain-file ports and the choice of backend for a mapped target.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/host/host_api.h"
#include "platform/host/host_ports.h"

namespace {

class FilePortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "kelo-ports-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    kelo::host::InstallHostPortMapper();
  }
  void TearDown() override {
    for (const char* name : {"/capture.bin", "/readonly.bin", "/fifo"}) {
      ::unlink((dir_ + name).c_str());
    }
    ::rmdir(dir_.c_str());
  }

  HANDLE Open(const char16_t* name, const std::string& target, DWORD access, DWORD share = 0) {
    kelo::host::SetRegistryString(u"Host\\Ports", name, kelo::host::FromUtf8(target));
    return CreateFileW(name, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  }

  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  static bool Write(HANDLE port, const std::string& text) {
    DWORD written = 0;
    const BOOL ok = WriteFile(port, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return ok && written == text.size();
  }

  std::string dir_;
};

TEST_F(FilePortTest, WritesCreateTheFileAndAppendAcrossOpens) {
  const std::string path = dir_ + "/capture.bin";
  HANDLE port = Open(u"USB3:", path, GENERIC_WRITE);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(Write(port, std::string("\x1b@ab\0", 5)));
  EXPECT_TRUE(CloseHandle(port));
  port = Open(u"USB3:", path, GENERIC_WRITE);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(port, "cd"));
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_EQ(Contents(path), std::string("\x1b@ab\0cd", 7));
}

TEST_F(FilePortTest, ReadsReadTheFile) {
  const std::string path = dir_ + "/readonly.bin";
  std::ofstream(path, std::ios::binary) << "status";
  HANDLE port = Open(u"LPT2:", path, GENERIC_READ);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  char buffer[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "status");
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
  EXPECT_EQ(got, 0u) << "end of file is an empty read";
  EXPECT_TRUE(CloseHandle(port));
}

// A capture behind a printer port: the status monitor reads it all the time
// and must find no answers in it, neither the bytes of an earlier capture
// nor its own requests, and must not find it gone.
TEST_F(FilePortTest, ACaptureIsASilentPrinterThatStaysThere) {
  const std::string path = dir_ + "/capture.bin";
  std::ofstream(path, std::ios::binary) << "\x88\x88 earlier capture";
  HANDLE port = Open(u"LPT1:", path, GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  COMMTIMEOUTS t{10, 0, 20, 0, 500};
  ASSERT_TRUE(SetCommTimeouts(port, &t));
  ASSERT_TRUE(Write(port, "\x1bk\xff"));
  char buffer[64];
  DWORD got = 99;
  const DWORD before = GetTickCount();
  ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr)) << GetLastError();
  EXPECT_EQ(got, 0u);
  EXPECT_GE(GetTickCount() - before, 15u) << "a quiet read takes its time-out";
  DWORD returned = 99;
  EXPECT_TRUE(DeviceIoControl(port, kelo::host::kIoctlPortStatus, nullptr, 0, nullptr, 0,
                              &returned, nullptr));
  EXPECT_EQ(returned, 0u);
  EXPECT_TRUE(CloseHandle(port));
  EXPECT_EQ(Contents(path), "\x88\x88 earlier capture\x1bk\xff");
}

TEST_F(FilePortTest, ReadOnlyOpenOfAMissingFileFailsAndCreatesNothing) {
  const std::string path = dir_ + "/capture.bin";
  SetLastError(0);
  EXPECT_EQ(Open(u"LPT2:", path, GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  struct stat info {};
  EXPECT_NE(::stat(path.c_str(), &info), 0);
}

TEST_F(FilePortTest, OnlyTimeoutsAmongTheCommCallsAreAccepted) {
  HANDLE port = Open(u"USB3:", dir_ + "/capture.bin", GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS t{10, 0, 20, 0, 500};
  SetLastError(0xBEEF);
  ASSERT_TRUE(SetCommTimeouts(port, &t));
  EXPECT_EQ(GetLastError(), 0xBEEFu);
  for (const int fill : {0x00, 0xFF}) {
    COMMTIMEOUTS back;
    std::memset(&back, fill, sizeof back);
    ASSERT_TRUE(GetCommTimeouts(port, &back));
    EXPECT_EQ(std::memcmp(&back, &t, sizeof t), 0);
  }

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  SetLastError(0);
  EXPECT_FALSE(GetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  SetLastError(0);
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  SetLastError(0);
  EXPECT_FALSE(PurgeComm(port, PURGE_TXCLEAR));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  BYTE out[256];
  DWORD returned = 99;
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(port, kelo::host::kIoctlGetDeviceId, nullptr, 0, out, sizeof out,
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(FilePortTest, SharedOpensHaveTheirOwnDescriptorsAndExclusiveOpensConflict) {
  const std::string path = dir_ + "/capture.bin";
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE first = Open(u"USB3:", path, GENERIC_WRITE, share);
  HANDLE second = Open(u"USB3:", path, GENERIC_WRITE, share);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Write(first, "1"));
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_TRUE(Write(second, "2")) << "closing one open must not close the other's descriptor";

  SetLastError(0);
  EXPECT_EQ(Open(u"USB3:", path, GENERIC_WRITE, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_EQ(Contents(path), "12");
}

TEST(HostPortMapping, TargetItCannotServeGivesNullWithTheLastErrorSet) {
  SetLastError(0);
  EXPECT_FALSE(kelo::host::OpenHostPort(u"COM1:", u""));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  SetLastError(0);
  EXPECT_FALSE(kelo::host::OpenHostPort(u"COM1:", std::u16string_view(u"/dev/tty\0S0", 11)));
  EXPECT_NE(GetLastError(), 0u);
}

TEST(HostPortMapping, MissingDeviceNodeFailsAndIsNotCreated) {
  const char* path = "/dev/kelo-missing-port";
  struct stat info {};
  ASSERT_NE(::stat(path, &info), 0);
  kelo::host::InstallHostPortMapper();
  kelo::host::SetRegistryString(u"Host\\Ports", u"COM4:", u"/dev/kelo-missing-port");
  SetLastError(0);
  EXPECT_EQ(CreateFileW(u"COM4:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(::stat(path, &info), 0);
}

TEST(HostPortMapping, UnmappedNameFailsWithFileNotFound) {
  kelo::host::InstallHostPortMapper();
  SetLastError(0);
  EXPECT_EQ(CreateFileW(u"COM7:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(HostPortMapping, CharacterDeviceThatIsNoLineIsAStream) {
  kelo::host::InstallHostPortMapper();
  kelo::host::SetRegistryString(u"Host\\Ports", u"LPT3:", u"/dev/null");
  HANDLE port = CreateFileW(u"LPT3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, "abc", 3, &written, nullptr));
  EXPECT_EQ(written, 3u);
  // An exclusive open of a stream device does not lock it system-wide.
  HANDLE second = CreateFileW(u"LPT3:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(second, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(second);
  DCB dcb{};
  SetLastError(0);
  EXPECT_FALSE(GetCommState(port, &dcb));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_TRUE(CloseHandle(port));
}

// Targets that stop taking data end a write at the write time-out or with a
// code, like every other port: a FIFO without a reader, one whose reader
// stopped reading, one whose reader left (a write there would end the
// process with SIGPIPE), a full device, a directory that is not there.
TEST_F(FilePortTest, AFifoWhoseReaderStopsReadingEndsTheWriteAtTheWriteTimeOut) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(Open(u"LPT4:", fifo, GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));  // no reader at all

  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // and never reads
  ASSERT_GE(reader, 0);
  HANDLE port = Open(u"LPT4:", fifo, GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD read = 99;
  BYTE answer[4];
  EXPECT_TRUE(ReadFile(port, answer, sizeof answer, &read, nullptr));  // a silent printer
  EXPECT_EQ(read, 0u);
  COMMTIMEOUTS t{0, 0, 0, 0, 100};
  ASSERT_TRUE(SetCommTimeouts(port, &t));
  const std::string data(4 << 20, 'x');
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, data.size());
  EXPECT_TRUE(WriteFile(port, data.data(), 16, &written, nullptr));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(port));
  ::close(reader);
}

TEST_F(FilePortTest, AFifoWhoseReaderLeftFailsTheWrite) {
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  HANDLE port = Open(u"LPT4:", fifo, GENERIC_WRITE);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(Write(port, "abc"));
  ::close(reader);
  DWORD written = 99;
  EXPECT_FALSE(WriteFile(port, "def", 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(port));
}

TEST_F(FilePortTest, AFullDeviceAndAMissingDirectoryFailWithTheirCodes) {
  HANDLE port = Open(u"LPT4:", "/dev/full", GENERIC_WRITE);
  ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_FALSE(Write(port, "abc"));
  EXPECT_EQ(GetLastError(), 112u);  // disk full
  EXPECT_TRUE(CloseHandle(port));

  EXPECT_EQ(Open(u"LPT5:", dir_ + "/missing/capture.bin", GENERIC_WRITE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 3u);  // path not found
  EXPECT_EQ(Open(u"LPT5:", dir_ + "/missing.bin", GENERIC_READ), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
