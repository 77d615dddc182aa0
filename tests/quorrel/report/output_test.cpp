// What the run writes to standard output: colours restored as they were,
// control characters masked on a terminal, and a failed write noticed.
#include "quorrel/report/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/console.h"
#include "console/terminal_capture.h"

using namespace quorrel;

namespace {

TEST(WriteColoured, OnATerminalColoursTheTextAndRestoresTheWord) {
  uint16_t After = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    SetTextAttributes(0x07);
    WriteColoured(" DELETED\r\n", 14);
    WriteColoured(" SKIPPED\r\n", 2);
    After = CurrentTextAttributes();
  });
  EXPECT_EQ(Bytes,
            "\x1b[0m"
            "\x1b[0;93m DELETED\r\n\x1b[0m"
            "\x1b[0;32m SKIPPED\r\n\x1b[0m");
  EXPECT_EQ(After, 0x07);
}

TEST(WriteColoured, RestoresBothColourNibbles) {
  uint16_t After = 0;
  std::string Bytes = CaptureOnTerminal([&] {
    SetTextAttributes(0x1F);
    WriteColoured("x", 2);
    After = CurrentTextAttributes();
    SetTextAttributes(0x07);
  });
  EXPECT_EQ(Bytes, "\x1b[0;97;44m\x1b[0;32;44mx\x1b[0;97;44m\x1b[0m");
  EXPECT_EQ(After, 0x1F);
}

TEST(WriteColoured, OffATerminalWritesOnlyTheText) {
  EXPECT_EQ(CaptureOnPipe([] { WriteColoured(" DELETED\r\n", 14); }), " DELETED\r\n");
}

TEST(MaskControls, CaretNotationForC0AndDel) {
  EXPECT_EQ(MaskControls("a\x1b[2J\x07\x7f\t"), "a^[[2J^G^?^I");
  EXPECT_EQ(MaskControls(std::string("x\0y", 3)), "x^@y");
}

TEST(MaskControls, C1ControlsInUtf8AndAsLoneBytes) {
  EXPECT_EQ(MaskControls("a\xc2\x9b" "2Jb"), "aM-^[2Jb");  // U+009B, CSI
  EXPECT_EQ(MaskControls("a\x9b" "2Jb"), "aM-^[2Jb");      // 8-bit CSI
  EXPECT_EQ(MaskControls("\xc2\x80\xc2\x9f\x80\x9d"), "M-^@M-^_M-^@M-^]");
  EXPECT_EQ(MaskControls("a\x9f" "b"), "aM-^_b");  // the last C1 byte, alone
  // Bytes that begin a sequence but are cut short leave the C1 byte alone.
  EXPECT_EQ(MaskControls("\xe2\x9b"), "\xe2M-^[");
  EXPECT_EQ(MaskControls("\xc2"), "\xc2");
  // An overlong ESC is no UTF-8: its bytes stay as they are, neither is C1.
  EXPECT_EQ(MaskControls("\xc0\x9b"), "\xc0M-^[");
}

TEST(MaskControls, WellFormedTextPassesUnchanged) {
  const std::string Text =
      "\xe2\x80\x94 \xe2\x80\x9cquoted\xe2\x80\x9d \xc3\xa9t\xc3\xa9 \xc2\xa0 \xf0\x9f\x98\x80 \xed\x9f\xbf ~";
  EXPECT_EQ(MaskControls(Text), Text);
  // Latin-1 bytes at A0 and above are no controls either.
  EXPECT_EQ(MaskControls("caf\xe9 \xa0\xff"), "caf\xe9 \xa0\xff");
}

TEST(TOutput, WritesThroughWhenAllIsWell) {
  std::string Bytes = CaptureOnPipe([] {
    TOutput Out;
    Out.Write("1:x");
    Out.WriteColoured(" SKIPPED\r\n", 2);
    EXPECT_TRUE(Out.Flush());
    EXPECT_FALSE(Out.Failed());
  });
  EXPECT_EQ(Bytes, "1:x SKIPPED\r\n");
}

TEST(TOutput, NoticesAFullDeviceAtTheFlushAtTheLatest) {
  std::fflush(stdout);
  const int Saved = dup(STDOUT_FILENO);
  const int Full = open("/dev/full", O_WRONLY);
  ASSERT_GE(Full, 0);
  dup2(Full, STDOUT_FILENO);
  StandardOutputChanged();
  bool FlushedOk = true, FailedBefore = true, FailedAfter = false;
  std::string Reason;
  {
    TOutput Out;
    Out.Write("1:x");  // still in the buffer
    FailedBefore = Out.Failed();
    FlushedOk = Out.Flush();
    Out.Write("more");
    FailedAfter = Out.Failed();
    Reason = Out.FailureReason();
  }
  std::clearerr(stdout);
  std::fflush(stdout);  // the buffer is lost, not written to the real output
  dup2(Saved, STDOUT_FILENO);
  close(Saved);
  close(Full);
  std::clearerr(stdout);
  StandardOutputChanged();
  EXPECT_FALSE(FailedBefore);
  EXPECT_FALSE(FlushedOk);
  EXPECT_TRUE(FailedAfter);
  EXPECT_EQ(Reason, std::strerror(ENOSPC));
}


}  // namespace
