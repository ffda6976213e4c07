// `talmocli respond` as a host program meets it: a pseudo-terminal stands
// in for the line, the test plays the host.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_child.h"
#include "support/pty_pair.h"
#include "support/read_until.h"
#include "support/temp_dir.h"

namespace talmo {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::ReadUntil;
using test::TChild;
using test::TPtyPair;
using test::TTempDir;

// The host's request and what it reads back before the next one.
std::string Ask(int master, const std::string& request, std::size_t expect) {
  EXPECT_EQ(::write(master, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  std::string got;
  // Nothing to come: a while for what should not, which also parts this
  // frame from the next by far more than the silence that ends it.
  ReadUntil(
      master, got, [expect](const std::string& s) { return expect && s.size() >= expect; },
      expect ? 5s : 200ms);
  return got;
}

TEST(RespondCli, AnswersEachFrameByItsRuleInOrderAndRecordsBothWays) {
  TTempDir dir("talmo-respond");
  TPtyPair line;
  ASSERT_TRUE(line.Open());
  test::WriteFile(dir / "rules",
                  "AT $0D -> OK $0D$0A\n"
                  "$02 <seq> * $03 ? -> $02 <seq> ACK $03 [xor from 1] [delay 20]\n"
                  "$01 $03 * -> $01$03$02$00$2A [crc16] [times 1]\n"
                  "$01 $03 * ->\n");
  TChild child(TALMOCLI_PATH,
               {"respond", "--device", line.Path, "--baud", "115200", dir / "rules", "--hex",
                "--capture", dir / "run.pcapng"},
               dir.Path());
  ASSERT_TRUE(child.WaitErrLine("answering on")) << child.ErrText;
  const struct {
    std::string Request, Answer;
  } kTalk[] = {
      {"AT\r", "OK\r\n"},
      {"\x02\x07hello\x03\x00"s,
       "\x02\x07"
       "ACK\x03"s +
           char(0x07 ^ 'A' ^ 'C' ^ 'K' ^ 0x03)},
      {"\x01\x03\x00\x00\x00\x01\x84\x0A"s, "\x01\x03\x02\x00\x2A\x39\x9B"s},
      {"\x01\x03\x00\x00\x00\x01\x84\x0A"s, ""},  // the device has fallen silent
      {"junk", ""},
  };
  for (const auto& t : kTalk) EXPECT_EQ(Ask(line.Master, t.Request, t.Answer.size()), t.Answer);
  ::kill(child.Pid, SIGTERM);
  EXPECT_EQ(child.Wait(), 0) << child.ErrText;
  EXPECT_NE(child.OutText.find("RX 6A 75 6E 6B  (no rule matches)"), std::string::npos)
      << child.OutText;
  EXPECT_NE(child.OutText.find("TX 01 03 02 00 2A 39 9B"), std::string::npos) << child.OutText;
  // The timed capture holds both ways in the order they went.
  TChild decode(TALMOCLI_PATH, {"decode", "--both", "--hex", "--gap", "1", dir / "run.pcapng"},
                dir.Path());
  ASSERT_EQ(decode.Wait(), 0) << decode.ErrText;
  const std::size_t rx = decode.OutText.find("RX  02 07 68");
  const std::size_t tx = decode.OutText.find("TX  02 07 41 43 4B");
  EXPECT_TRUE(rx != std::string::npos && tx != std::string::npos && rx < tx) << decode.OutText;
}

// A run of rules recorded, then its twin made from the recording: the
// same answers, after the same times.
TEST(RespondCli, ATwinFromACaptureAnswersAsTheRecordedDeviceDid) {
  TTempDir dir("talmo-respond");
  TPtyPair line;
  ASSERT_TRUE(line.Open());
  test::WriteFile(dir / "rules",
                  "AT $0D -> OK $0D$0A [delay 80]\n"
                  "$01 $03 * -> $01$03$02$00$2A [crc16] [times 1]\n"
                  "$01 $03 * ->\n");
  const std::string read = "\x01\x03\x00\x00\x00\x01\x84\x0A"s;
  const std::string answer = "\x01\x03\x02\x00\x2A\x39\x9B"s;
  const auto talk = [&](const std::vector<std::string>& how, const std::string& stray) {
    std::vector<std::string> args = {"respond", "--device", line.Path, "--baud", "115200"};
    args.insert(args.end(), how.begin(), how.end());
    TChild child(TALMOCLI_PATH, args, dir.Path());
    EXPECT_TRUE(child.WaitErrLine("answering on")) << child.ErrText;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(line.Master, "AT\r", 4), "OK\r\n");
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 75ms) << "the recorded response time is kept";
    EXPECT_EQ(Ask(line.Master, read, answer.size()), answer);
    EXPECT_EQ(Ask(line.Master, read, 0), "");
    EXPECT_EQ(Ask(line.Master, stray, 0), "");
    ::kill(child.Pid, SIGTERM);
    EXPECT_EQ(child.Wait(), 0) << child.ErrText;
    return child.ErrText;
  };
  talk({dir / "rules", "--capture", dir / "run.pcapng"}, "?");
  // A frame the recording never heard is told at the end.
  const std::string said =
      talk({"--from-capture", dir / "run.pcapng", "--requests", "received"}, "!");
  EXPECT_NE(said.find("1 frame had no recorded answer (1 different):\ntalmocli:   21\n"),
            std::string::npos)
      << said;
}

// A device that goes away and comes back under the same name (a link, as
// /dev/serial/by-id gives) is answered again with --reconnect.
TEST(RespondCli, ReconnectWaitsForTheDeviceAndAnswersAgain) {
  TTempDir dir("talmo-respond");
  test::WriteFile(dir / "rules", "AT $0D -> OK $0D$0A\n");
  const std::string link = dir / "tty";
  TPtyPair first;
  ASSERT_TRUE(first.Open());
  ASSERT_EQ(::symlink(first.Path.c_str(), link.c_str()), 0);
  TChild child(TALMOCLI_PATH, {"respond", "--device", link, dir / "rules", "--reconnect"},
               dir.Path());
  ASSERT_TRUE(child.WaitErrLine("answering on")) << child.ErrText;
  EXPECT_EQ(Ask(first.Master, "AT\r", 4), "OK\r\n");
  first.Close();
  ::unlink(link.c_str());
  TPtyPair second;
  ASSERT_TRUE(second.Open());
  ASSERT_EQ(::symlink(second.Path.c_str(), link.c_str()), 0);
  std::string said;
  test::ReadUntil(child.Err, said,
                  [](const std::string& s) { return s.find("is back") != std::string::npos; });
  EXPECT_EQ(Ask(second.Master, "AT\r", 4), "OK\r\n") << said;
  ::kill(child.Pid, SIGTERM);
  EXPECT_EQ(child.Wait(), 0) << child.ErrText;
}

TEST(RespondCli, ARulesFileWithAMistakeIsRefusedBeforeThePortOpens) {
  TTempDir dir("talmo-respond");
  test::WriteFile(dir / "rules", "AT $0D -> OK\n$01 $0G -> x\n");
  // A device that is not there: the rules are read first, so their
  // mistake is what is told.
  TChild child(TALMOCLI_PATH, {"respond", "--device", dir / "no-such-tty", dir / "rules"},
               dir.Path());
  EXPECT_EQ(child.Wait(), 1);
  EXPECT_NE(child.ErrText.find("rules:2:5: expected '$' and two hex digits"), std::string::npos)
      << child.ErrText;
  EXPECT_EQ(child.ErrText.find("no-such-tty"), std::string::npos) << child.ErrText;
}

}  // namespace
}  // namespace talmo
