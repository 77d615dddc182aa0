// The program against a real Dovecot, which offers PIPELINING: the sweep with
// commands sent ahead must print what the one-at-a-time sweep (--no-pipelining)
// prints, byte for byte, and leave the same messages, on mailboxes around the
// size at which the window first fills and on a large one; with --dry-run too.
// Everything runs in a private network namespace; the pipelined runs go through
// a relay on 127.0.0.2 that records the commands, to show they were sent ahead.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pop3/pop3.h"
#include "quorrel/pipelined_sweep.h"
#include "support/process.h"

using namespace quorrel;

namespace {

// Header bytes of every message below; bodies are lines of 80 bytes.
constexpr size_t HeaderBytes = 53;

std::string Message(int N, size_t BodyLines) {
  char Subject[32];
  std::snprintf(Subject, sizeof Subject, "%s %06d", N % 3 == 0 ? "Lottery" : "Minutes", N);
  std::string Text = "From: sender@example.org\r\nSubject: " + std::string(Subject) + "\r\n\r\n";
  for (size_t I = 0; I < BodyLines; ++I) Text += std::string(78, char('a' + I % 26)) + "\r\n";
  return Text;
}

// The number of messages whose commands go into the first send, for a mailbox
// of messages of Size bytes each: the reply budget binds long before the
// command budget does.
int FirstWindow(size_t Size) {
  TPOP3Send Session;
  TPipelinedSweep Sweep(Session);
  return int(Sweep.ReplyBudget / (TPipelinedSweep::TopReplyEstimate(uint32_t(Size)) + 64));
}

std::string Quote(const std::string& Text) {
  std::string Quoted = "'";
  for (char C : Text) Quoted += C == '\'' ? std::string("'\\''") : std::string(1, C);
  return Quoted + "'";
}

size_t Count(const std::string& Text, const std::string& Prefix) {
  size_t N = 0;
  std::istringstream In(Text);
  for (std::string Line; std::getline(In, Line);)
    if (Line.rfind(Prefix, 0) == 0) ++N;
  return N;
}

struct TCase {
  int Messages;
  size_t BodyLines;
};

}  // namespace

TEST(PipelinedSession, SameOutputAndSameMailboxAsOneAtATime) {
  const char* Binary = std::getenv("QUORREL_BINARY");
  const char* Source = std::getenv("QUORREL_SOURCE_DIR");
  ASSERT_TRUE(Binary && Source) << "QUORREL_BINARY and QUORREL_SOURCE_DIR are not set";
  ASSERT_EQ(geteuid(), 0u) << "needs root for unshare -n";
  ASSERT_TRUE(HaveProgram("unshare") && HaveProgram("ip")) << "install the Debian packages util-linux and iproute2";
  ASSERT_TRUE(HaveProgram("dovecot")) << "install the Debian packages dovecot-core and dovecot-pop3d";
  ASSERT_TRUE(HaveProgram("python3")) << "install the Debian package python3";

  const size_t BigLines = 257;  // 20,613 bytes a message: a window of 50
  const int Window = FirstWindow(HeaderBytes + 80 * BigLines);
  ASSERT_EQ(Window, 50);
  // The large mailbox spans several windows, with DELEs between them.
  const std::vector<TCase> Cases = {{1, BigLines},          {2, BigLines},      {Window - 1, BigLines},
                                    {Window, BigLines},     {Window + 1, BigLines}, {1000, 130}};

  const std::string Dir = MakeTempDir("quorrel-pipelined");
  ASSERT_FALSE(Dir.empty());
  std::ostringstream Script;
  Script << "set -u\n"
         << "ip link set lo up || exit 90\n"
         << "L=" << Quote(std::string(Source) + "/scripts/lib/dovecot.sh") << "\n"
         << "D=" << Quote(Dir) << "\n"
         << "Q=" << Quote(Binary) << "\n"
         << "trap 'bash \"$L\" stop \"$D/dc\" >/dev/null 2>&1; [ -n \"${RELAY:-}\" ] && kill $RELAY' EXIT\n"
         << "bash \"$L\" init \"$D/dc\" || exit 91\n";
  for (const TCase& C : Cases) {
    const std::string Box = Dir + "/mail" + std::to_string(C.Messages);
    RunCommand("mkdir -p " + Quote(Box));
    for (int N = 1; N <= C.Messages; ++N) {
      char Name[32];
      std::snprintf(Name, sizeof Name, "/%06d.eml", N);
      WriteFile(Box + Name, Message(N, C.BodyLines));
    }
    Script << "bash \"$L\" adduser \"$D/dc\" u" << C.Messages << " secret || exit 92\n";
  }
  Script << "bash \"$L\" start \"$D/dc\" 110 >\"$D/start.log\" 2>&1 || exit 93\n"
         // Records what clients send, and passes everything through.
         << "python3 -c '\n"
            "import socket, sys, threading\n"
            "rec = open(sys.argv[1], \"ab\", buffering=0)\n"
            "ls = socket.socket()\n"
            "ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
            "ls.bind((\"127.0.0.2\", 110))\n"
            "ls.listen(8)\n"
            "open(sys.argv[1] + \".ready\", \"w\").close()\n"
            "def pump(a, b, log):\n"
            "    while True:\n"
            "        d = a.recv(65536)\n"
            "        if not d:\n"
            "            break\n"
            "        if log:\n"
            "            rec.write(d)\n"
            "        b.sendall(d)\n"
            "    try:\n"
            "        b.shutdown(socket.SHUT_WR)\n"
            "    except OSError:\n"
            "        pass\n"
            "while True:\n"
            "    c, _ = ls.accept()\n"
            "    s = socket.create_connection((\"127.0.0.1\", 110))\n"
            "    threading.Thread(target=pump, args=(c, s, True), daemon=True).start()\n"
            "    threading.Thread(target=pump, args=(s, c, False), daemon=True).start()\n"
            "' \"$D/recorded\" &\n"
         << "RELAY=$!\n"
         << "for _ in $(seq 1 100); do [ -e \"$D/recorded.ready\" ] && break; sleep 0.05; done\n"
         << "[ -e \"$D/recorded.ready\" ] || exit 94\n";
  for (const TCase& C : Cases) {
    const std::string K = std::to_string(C.Messages);
    const std::string Deliver = "bash \"$L\" deliver \"$D/dc\" u" + K + " \"$D\"/mail" + K + "/*.eml || exit 95\n";
    const std::string Run = "timeout -k 5 300 \"$Q\" u" + K + " secret ";
    const std::string Left = "bash \"$L\" ls \"$D/dc\" u" + K + " | wc -l >";
    Script << Deliver
           << Run << "127.0.0.1 lottery --dry-run --no-pipelining >\"$D/dry-one" << K << "\" 2>&1\n"
           << Run << "127.0.0.2 lottery --dry-run >\"$D/dry-ahead" << K << "\" 2>&1\n"
           << Left << "\"$D/left-dry" << K << "\"\n"
           << Run << "127.0.0.1 lottery --no-pipelining >\"$D/one" << K << "\" 2>&1\n"
           << Left << "\"$D/left-one" << K << "\"\n"
           << "bash \"$L\" clear \"$D/dc\" u" << K << "\n"
           << Deliver
           << Run << "127.0.0.2 lottery >\"$D/ahead" << K << "\" 2>&1\n"
           << Left << "\"$D/left-ahead" << K << "\"\n";
  }
  WriteFile(Dir + "/run.sh", Script.str());
  std::string Said;
  const int Rc = RunCommand("unshare -n bash " + Quote(Dir + "/run.sh") + " 2>&1", &Said);
  ASSERT_EQ(Rc, 0) << Said << ReadFile(Dir + "/start.log");

  const std::string Recorded = ReadFile(Dir + "/recorded");
  size_t Tops = 0;
  for (const TCase& C : Cases) {
    const std::string K = std::to_string(C.Messages);
    const int Kept = C.Messages - C.Messages / 3;
    SCOPED_TRACE("mailbox of " + K);
    const std::string DryOne = ReadFile(Dir + "/dry-one" + K), One = ReadFile(Dir + "/one" + K);
    EXPECT_EQ(ReadFile(Dir + "/dry-ahead" + K), DryOne);
    EXPECT_EQ(ReadFile(Dir + "/ahead" + K), One);
    EXPECT_EQ(Count(DryOne, std::to_string(C.Messages) + ":"), 1u) << DryOne.substr(0, 300);
    EXPECT_EQ(size_t(std::count(DryOne.begin(), DryOne.end(), '\n')), size_t(C.Messages) + 2);
    EXPECT_EQ(One.find("WOULD DELETE"), std::string::npos);
    EXPECT_EQ(std::atoi(ReadFile(Dir + "/left-dry" + K).c_str()), C.Messages);
    EXPECT_EQ(std::atoi(ReadFile(Dir + "/left-one" + K).c_str()), Kept);
    EXPECT_EQ(std::atoi(ReadFile(Dir + "/left-ahead" + K).c_str()), Kept);
    if (C.Messages >= 3) {
      EXPECT_NE(DryOne.find("3:Lottery 000003 WOULD DELETE\r\n"), std::string::npos);
      EXPECT_NE(One.find("3:Lottery 000003 DELETED\r\n"), std::string::npos);
    }
    Tops += 2 * size_t(C.Messages);
  }
  // Only the runs through the relay are recorded: each sent a LIST n with
  // every TOP n 0.
  EXPECT_EQ(Count(Recorded, "TOP "), Tops);
  EXPECT_GE(Count(Recorded, "LIST "), Tops);
  RemoveTree(Dir);
}
