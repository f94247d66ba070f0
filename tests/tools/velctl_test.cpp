// velctl itself, run as a program against a region that a peer process keeps alive.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "outbox_journal.h"
#include "password_hash.h"
#include "peer_hex.h"
#include "peer_process.h"
#include "processes.h"

namespace {

using veltest::ReadTerminalUntil;

struct VelctlRun {
  int status;
  std::vector<std::string> lines;
};

class VelctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    holder_ = std::make_unique<PeerProcess>(VELMAR_PEER, std::vector<std::string>{}, Env());
    ASSERT_EQ(holder_->Ask("echo ready"), "ready");
  }

  // The C locale unless a test names another: output then shows bytes outside ASCII as
  // \xHH whatever the locale of the machine running the tests.
  std::vector<std::string> Env() const { return {"VELMAR_INSTANCE=" + instance_, "LC_ALL=C"}; }

  // velctl's standard output by lines (with `withErrors`, standard error too); `input`:
  // the lines of its standard input, which ends after them.
  VelctlRun Velctl(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                   bool withErrors = false, const std::vector<std::string>& input = {}) {
    std::vector<std::string> all;
    for (const std::string& mine : Env()) {
      const std::string name = mine.substr(0, mine.find('=') + 1);
      const bool overridden = std::any_of(
          env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; });
      if (!overridden) all.push_back(mine);
    }
    all.insert(all.end(), env.begin(), env.end());
    std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" 2>&1", velctl_};
    shellArgs.insert(shellArgs.end(), args.begin(), args.end());
    PeerProcess p(withErrors ? "/bin/sh" : velctl_, withErrors ? shellArgs : args, all);
    for (const std::string& line : input) p.Send(line);
    p.CloseInput();
    VelctlRun run{-1, {}};
    while (auto line = p.ReadLine(10000)) run.lines.push_back(*line);
    run.status = p.Wait();
    return run;
  }

  // From now on velctl runs from `dir`, a program directory of its own (velctl finds
  // its files beside itself, wherever a link to it lies): a copy, with its library.
  void UseProgramDir(const veltest::TempDir& dir) {
    const std::string built = VELCTL;
    const std::string distDir = built.substr(0, built.rfind('/') + 1);
    std::filesystem::copy_file(built, dir.File("velctl"));
    std::filesystem::create_symlink(distDir + "libVelmar.so", dir.File("libVelmar.so"));
    velctl_ = dir.File("velctl");
  }

  const std::string instance_ = UniqueInstance("velctl");
  std::unique_ptr<PeerProcess> holder_;
  std::string velctl_ = VELCTL;
};

TEST_F(VelctlTest, CommandsAreTakenOutAndDecoded) {
  ASSERT_EQ(holder_->Ask("setcmd " + Hex("FT:GROUP1\xFEJOHN\xFE"
                                         "Fire in hall 3")),
            "1");
  ASSERT_EQ(holder_->Ask("setcmd " + Hex("FT:caf\xE9\xFE"
                                         "a&b")),
            "1");
  const std::vector<std::string> expected = {
      "kind=\"FT\" receivers=[\"GROUP1\", \"JOHN\"] message=\"Fire in hall 3\"",
      "kind=\"FT\" receivers=[\"caf\\xe9\"] message=\"a&b\""};
  // --peek shows them in the order they will be taken, and leaves them where they are.
  for (int look = 0; look < 2; ++look) {
    const VelctlRun peek = Velctl({"commands", "--peek"});
    EXPECT_EQ(peek.status, 0);
    EXPECT_EQ(peek.lines, expected) << look;
  }
  const VelctlRun run = Velctl({"commands"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(holder_->Ask("getcmd"), "0 -");  // they are gone
  EXPECT_TRUE(Velctl({"commands", "--peek"}).lines.empty());
}

TEST_F(VelctlTest, FollowKeepsTakingUntilInterrupted) {
  PeerProcess follower(VELCTL, {"commands", "--follow", "--raw"}, Env());
  // velctl has joined once it counts in the process total.
  for (int i = 0; i < 200 && holder_->Ask("processes") != "2"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(holder_->Ask("setcmd " + Hex("first")), "1");
  EXPECT_EQ(follower.ReadLine(), "first");
  ASSERT_EQ(holder_->Ask("setcmd " + Hex("second\x01")), "1");
  EXPECT_EQ(follower.ReadLine(), "second\\x01");
  follower.Kill(SIGINT);
  EXPECT_EQ(follower.Wait(), 0);
  EXPECT_EQ(holder_->Ask("processes"), "1");  // it left the region on its way out
}

TEST_F(VelctlTest, QueuesAreListed) {
  ASSERT_EQ(holder_->Ask("setlog none " + Hex("one")), "1");
  ASSERT_EQ(holder_->Ask("setlog none " + Hex("two")), "1");
  ASSERT_EQ(holder_->Ask("setdebug -"), "1");  // an empty entry is still an entry
  ASSERT_EQ(holder_->Ask("settree -1 2 " + Hex("node") + " 3 4"), "1");
  EXPECT_EQ(Velctl({"syslog"}).lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(Velctl({"syslog"}).lines, std::vector<std::string>{});
  EXPECT_EQ(Velctl({"syslog", "--rewind"}).lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(Velctl({"debug"}).lines, std::vector<std::string>{""});
  EXPECT_EQ(Velctl({"treeview"}).lines, std::vector<std::string>{"-1 2 3 4 node"});
}

TEST_F(VelctlTest, StatusShowsTheRegion) {
  ASSERT_EQ(holder_->Ask("setcmd " + Hex("abc")), "1");
  ASSERT_EQ(holder_->Ask("setcmd " + Hex("de")), "1");
  ASSERT_EQ(holder_->Ask("setlog none " + Hex("x")), "1");
  ASSERT_EQ(holder_->Ask("getlog 0 16"), "1 " + Hex("x"));
  VelctlRun run = Velctl({"status"});
  EXPECT_EQ(run.status, 0);
  // Which of the two depends on whether the group velmar exists just now (a test of the
  // exchange creates it for a moment).
  ASSERT_GE(run.lines.size(), 2u);
  EXPECT_TRUE(run.lines[1] == "access: open to every local account" ||
              run.lines[1] == "access: group velmar")
      << run.lines[1];
  run.lines.erase(run.lines.begin() + 1);
  // What velweb says of the buffer (here, with no velweb beside velctl: that it is unknown).
  ASSERT_GE(run.lines.size(), 7u);
  EXPECT_EQ(run.lines[6].rfind("alarm server: ", 0), 0u) << run.lines[6];
  run.lines.erase(run.lines.begin() + 6);
  const std::vector<std::string> expected = {"instance: " + instance_,
                                             "processes: 2",
                                             "syslog: 1 entries of 200, read position 1",
                                             "treeview: 0 entries of 200, read position 0",
                                             "debug: 0 entries of 50, read position 0",
                                             "commands: 2 pending, 7 of 4094 bytes used",
                                             "sysinfo: \"\"",
                                             "running apps: 0x00000000"};
  EXPECT_EQ(run.lines, expected);
}

// An account that may not open the region (one outside the group velmar): every command
// that needs the region fails and says why, rather than showing nothing.
TEST_F(VelctlTest, AnAccountThatCannotReachTheRegionIsToldWhy) {
  if (geteuid() != 0) GTEST_SKIP() << "running velctl as another account needs root";
  for (const char* base : {"/dev/shm/VelShareView.", "/dev/shm/VelStructMutEx."}) {
    const std::string object = base + instance_;
    ASSERT_EQ(chown(object.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(object.c_str(), 0660), 0);
  }
  for (const char* command : {"commands", "syslog", "status", "sysinfo", "apps", "processes"}) {
    PeerProcess p(
        "/bin/sh",
        {"-c", "exec setpriv --reuid=65534 --regid=65534 --clear-groups \"$0\" \"$@\" 2>&1", VELCTL,
         command},
        Env());
    std::vector<std::string> lines;
    while (auto line = p.ReadLine(10000)) lines.push_back(*line);
    EXPECT_EQ(p.Wait(), 1) << command;
    ASSERT_EQ(lines.size(), 1u) << command;
    EXPECT_EQ(lines[0].rfind("velctl: cannot reach the exchange: permission denied on "
                             "/VelStructMutEx." +
                                 instance_ + ": ",
                             0),
              0u)
        << lines[0];
  }
}

TEST_F(VelctlTest, SysInfoAppsAndProcesses) {
  EXPECT_EQ(Velctl({"sysinfo", "hello"}).status, 0);
  EXPECT_EQ(Velctl({"sysinfo"}).lines, std::vector<std::string>{"hello"});
  EXPECT_EQ(Velctl({"apps", "0x80000005", "on"}).status, 0);
  EXPECT_EQ(holder_->Ask("apps 4"), "1");
  EXPECT_EQ(Velctl({"apps", "4", "off"}).status, 0);
  EXPECT_EQ(Velctl({"apps"}).lines, std::vector<std::string>{"0x80000001 (bits 0 31)"});
  EXPECT_EQ(Velctl({"processes"}).lines, std::vector<std::string>{"2"});
}

TEST_F(VelctlTest, PrintsOnAPort) {
  veltest::TempDir dir;
  { std::ofstream(dir.File("lp2")); }
  EXPECT_EQ(Velctl({"print", "2", "a\nb"}, {"VELMAR_PRINTER_DIR=" + dir.path()}).status, 0);
  EXPECT_EQ(veltest::ReadFile(dir.File("lp2")), "a\r\nb");
  EXPECT_EQ(Velctl({"print", "3", "x"}, {"VELMAR_PRINTER_DIR=" + dir.path()}).status, 1);
}

TEST_F(VelctlTest, ReceiverFileIsWrittenAndShown) {
  veltest::TempDir dir;
  const std::string file = dir.File("vel_rcv.dat");
  EXPECT_EQ(Velctl({"receivers", "write", file, "Zulu", "alpha", "caf\\xe9", "GROUP1"}).status, 0);
  const std::string bytes = veltest::ReadFile(file);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x01\x00\x04\x00", 4));
  EXPECT_NE(bytes.find("caf\xE9"), std::string::npos);
  const VelctlRun run = Velctl({"receivers", "show", file});
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 5u);
  EXPECT_EQ(run.lines[0], "version 1, 4 receivers");
  EXPECT_EQ(run.lines[1], "type 1 name \"Zulu\" | empty | null | int16 1");
  EXPECT_EQ(
      run.lines[3],
      "type 3 name \"caf\\xe9\" | currency 12.3452 | date 36957.5 | text \"Receiver caf\\xe9\"");

  // Written again over a file of another account (the alarm server's): its owner, group
  // and mode stay.
  ASSERT_EQ(chmod(file.c_str(), 0660), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
  }
  struct stat before {
  }, after{};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  EXPECT_EQ(Velctl({"receivers", "write", file, "Other"}).status, 0);
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(Velctl({"receivers", "show", file}).lines.at(0), "version 1, 1 receivers");
}

TEST_F(VelctlTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"nonsense"},
      {"commands", "--rewind"},
      {"syslog", "extra"},
      {"apps", "5"},
      {"apps", "5", "maybe"},
      {"apps", "0x100000000", "on"},
      {"print", "999", "x"},
      {"print", "-1", "x"},
      {"receivers", "write", "only-file"},
      {"receivers", "show"},
      // A name whose count (or whose text's) would not fit its 16 bits.
      {"receivers", "write", "/nonexistent/vel_rcv.dat", std::string(65527, 'a')},
      {"commands", "--fol"},  // options are spelt out in full
      {"commands", "--follow=1"},
      {"commands", "--peek", "--follow"},  // nothing is taken: there is nothing to follow
      {"passwd", "pw"},                    // a password never stands on the command line
      {"user"},
      {"user", "list", "extra"},
      {"user", "add"},
      {"user", "add", "a", "--send-limit", "-1"},
      {"user", "add", "a", "--send-limit"},
      {"history", "extra"},
      {"history", "--since", "yesterday"},
      {"history", "--since", "2024-02-30"},  // no such day
      {"history", "--since"},
  };
  for (const auto& args : bad) {
    EXPECT_EQ(Velctl(args).status, 2) << (args.empty() ? "" : args[0]);
  }
  const VelctlRun help = Velctl({"--help"});
  EXPECT_EQ(help.status, 0);
  ASSERT_FALSE(help.lines.empty());
  EXPECT_EQ(help.lines[0], "usage: velctl COMMAND [ARGUMENTS]");
  EXPECT_EQ(Velctl({"--version"}).lines, std::vector<std::string>{"velctl 1.0.00"});
}

// Arguments come in, and output goes out, in the locale's encoding; inside they are
// Windows-1252. The C locale is ASCII only: \xHH stands for other bytes both ways.
TEST_F(VelctlTest, TextMeetsTheTerminalInTheLocalesEncoding) {
  struct Case {
    const char* locale;
    std::string argument;
    std::string stored;  // the name's bytes in the file; "" when the argument is refused
    std::string shown;   // how "receivers show" prints it, or a piece of the refusal
  };
  const std::vector<Case> cases = {
      {"C.UTF-8", "B\xC3\xA4r Team", "B\xE4r Team", "B\xC3\xA4r Team"},
      {"C.UTF-8",
       "\xE2\x82\xAC"
       "5 Zo\\xeb",
       "\x80"
       "5 Zo\xEB",
       "\xE2\x82\xAC"
       "5 Zo\xC3\xAB"},
      {"C.UTF-8", "tab\\x09", "tab\t", "tab\\x09"},  // control bytes stay escaped
      {"C.UTF-8", "\xF0\x9F\x9A\x92", "",
       "\xF0\x9F\x9A\x92 (U+1F692) has no place in Windows-1252"},
      {"C.UTF-8", "M\xFCller", "", "the byte \\xfc is not UTF-8"},
      {"C", "B\\xe4r", "B\xE4r", "B\\xe4r"},
      {"C", "B\xC3\xA4r", "", "the byte \\xc3 is outside ASCII"},
  };
  veltest::TempDir dir;
  const std::string file = dir.File("vel_rcv.dat");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.locale) + " " + c.argument);
    const std::vector<std::string> locale = {std::string("LC_ALL=") + c.locale};
    std::remove(file.c_str());
    const VelctlRun write = Velctl({"receivers", "write", file, c.argument}, locale, true);
    if (c.stored.empty()) {
      EXPECT_EQ(write.status, 2);
      ASSERT_FALSE(write.lines.empty());
      EXPECT_NE(write.lines[0].find(c.shown), std::string::npos) << write.lines[0];
      continue;
    }
    ASSERT_EQ(write.status, 0);
    EXPECT_NE(veltest::ReadFile(file).find(c.stored), std::string::npos);
    const VelctlRun show = Velctl({"receivers", "show", file}, locale);
    ASSERT_EQ(show.lines.size(), 2u);
    EXPECT_EQ(show.lines[1].substr(0, show.lines[1].find(" |")), "type 1 name \"" + c.shown + "\"");
  }

  // Command entries and queues: decoded into the terminal's encoding, --raw as bytes.
  const std::string entry =
      "FT:J\xFCrgen\xFE"
      "caf\xE9\x01";
  for (const char* locale : {"C.UTF-8", "C"}) {
    ASSERT_EQ(holder_->Ask("setcmd " + Hex(entry)), "1");
    ASSERT_EQ(holder_->Ask("setcmd " + Hex(entry)), "1");
    ASSERT_EQ(holder_->Ask("setlog none " + Hex("Empf\xE4nger")), "1");
    const std::vector<std::string> env = {std::string("LC_ALL=") + locale};
    const bool utf8 = std::string(locale) == "C.UTF-8";
    const VelctlRun decoded = Velctl({"commands"}, env);
    ASSERT_EQ(decoded.lines.size(), 2u);
    EXPECT_EQ(decoded.lines[0],
              utf8 ? "kind=\"FT\" receivers=[\"J\xC3\xBCrgen\"] message=\"caf\xC3\xA9\\x01\""
                   : "kind=\"FT\" receivers=[\"J\\xfcrgen\"] message=\"caf\\xe9\\x01\"");
    EXPECT_EQ(decoded.lines[1], decoded.lines[0]);
    ASSERT_EQ(holder_->Ask("setcmd " + Hex(entry)), "1");
    EXPECT_EQ(Velctl({"commands", "--raw"}, env).lines,
              std::vector<std::string>{"FT:J\\xfcrgen\\xfecaf\\xe9\\x01"});
    EXPECT_EQ(Velctl({"syslog"}, env).lines,
              std::vector<std::string>{utf8 ? "Empf\xC3\xA4nger" : "Empf\\xe4nger"});
  }
}

// passwd asks twice on the terminal without showing what is typed, and prints the line
// for the profile; from a pipe it reads two lines. Typed twice differently, or empty, it
// prints nothing.
TEST_F(VelctlTest, PasswdAsksTwiceWithoutEchoAndPrintsTheProfileLine) {
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("VELMAR_INSTANCE", instance_.c_str(), 1);
    execl(VELCTL, VELCTL, "passwd", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string seen;
  ASSERT_TRUE(ReadTerminalUntil(terminal, "Password: ", seen)) << seen;
  ASSERT_EQ(write(terminal, "s3cret 1\n", 9), 9);
  ASSERT_TRUE(ReadTerminalUntil(terminal, "Again: ", seen)) << seen;
  ASSERT_EQ(write(terminal, "s3cret 1\n", 9), 9);
  ReadTerminalUntil(terminal, "restart velweb.", seen);
  int status = -1;
  waitpid(pid, &status, 0);
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  EXPECT_EQ(seen.find("s3cret"), std::string::npos) << "echoed: " << seen;
  const size_t at = seen.find("Password=$y$");
  ASSERT_NE(at, std::string::npos) << seen;
  const std::string hash = seen.substr(at + 9, seen.find_first_of("\r\n", at) - at - 9);
  EXPECT_TRUE(vel::PasswordMatches(hash, "s3cret 1")) << hash;

  const std::vector<std::pair<std::string, std::string>> piped = {
      {"abc\\nabc\\n", "Password=$y$"},
      {"abc\\nabd\\n", "velctl: the two passwords differ"},
      {"\\n\\n", "velctl: an empty password protects nothing"},
      {"abc\\n", "velctl: no password read"},
  };
  for (const auto& [input, shown] : piped) {
    const std::string command =
        "printf '" + input + "' | VELMAR_INSTANCE=" + instance_ + " " + VELCTL + " passwd 2>&1";
    int code = -1;
    const std::string output = veltest::CommandOutput(command, &code);
    EXPECT_EQ(code, shown == "Password=$y$" ? 0 : 1) << input << output;
    EXPECT_NE(output.find(shown), std::string::npos) << input << output;
    if (code != 0) {
      EXPECT_EQ(output.find("Password="), std::string::npos) << output;
    }
  }
}

// The users file beside velctl: users added with their options, listed without their
// hashes, given new passwords and removed; refusals leave the file as it was, and a file
// of another account keeps its owner and mode.
TEST_F(VelctlTest, UserCommandsKeepTheUsersFile) {
  veltest::TempDir dir;
  UseProgramDir(dir);
  const std::string file = dir.File("VELWEB.USR");
  const std::vector<std::string> twice = {"pw 1", "pw 1"};
  EXPECT_EQ(Velctl({"user", "list"}).lines, std::vector<std::string>{});  // no file: no users
  EXPECT_EQ(Velctl({"user", "add", "alice", "--receivers", "GROUP1, J*", "--send-limit", "5"}, {},
                   false, twice)
                .status,
            0);
  EXPECT_EQ(veltest::ModeOf(file), 0640u);
  EXPECT_EQ(Velctl({"user", "add", "--role", "supervisor", "B\xC3\xA4r"}, {"LC_ALL=C.UTF-8"}, false,
                   twice)
                .status,
            0);
  const std::vector<std::string> listed = {
      "alice: sender; send limit 5 a minute; receivers GROUP1, J*",
      "B\\xe4r: supervisor; send limit the [Access] one; receivers all"};
  EXPECT_EQ(Velctl({"user", "list"}).lines, listed);
  // The hash of a user's password, from the file.
  auto hashOf = [&](const std::string& user) {
    const std::string bytes = veltest::ReadFile(file);
    const size_t at = bytes.find("Password=", bytes.find("[" + user + "]\r\n"));
    return at == std::string::npos ? "" : bytes.substr(at + 9, bytes.find('\r', at) - at - 9);
  };
  EXPECT_TRUE(vel::PasswordMatches(hashOf("alice"), "pw 1"));
  EXPECT_NE(veltest::ReadFile(file).find("[B\xE4r]\r\n"), std::string::npos);

  // Another account's file (velweb's): a new password keeps its owner, group and mode.
  ASSERT_EQ(chmod(file.c_str(), 0604), 0);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
  }
  struct stat before {
  }, after{};
  ASSERT_EQ(stat(file.c_str(), &before), 0);
  EXPECT_EQ(Velctl({"user", "passwd", "alice"}, {}, false, {"new", "new"}).status, 0);
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_TRUE(vel::PasswordMatches(hashOf("alice"), "new"));
  EXPECT_EQ(Velctl({"user", "remove", "B\\xe4r"}).status, 0);
  EXPECT_EQ(Velctl({"user", "list"}).lines, std::vector<std::string>{listed[0]});

  struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string said;
  };
  const std::vector<Refusal> refusals = {
      {{"user", "add", "alice"}, 1, "the user alice is already in " + file},
      {{"user", "passwd", "bob"}, 1, "there is no user bob in " + file},
      {{"user", "remove", "bob"}, 1, "there is no user bob in " + file},
      {{"user", "add", "bob", "--role", "boss"}, 2, "--role is sender or supervisor"},
      {{"user", "add", "a:b"}, 2, "a user name holds no \":\""},
      {{"user", "add", "bob", "--receivers", "A,,B"}, 2, "empty name"},
  };
  const std::string kept = veltest::ReadFile(file);
  for (const Refusal& r : refusals) {
    const VelctlRun run = Velctl(r.args, {}, true, twice);
    EXPECT_EQ(run.status, r.status) << r.args[2];
    ASSERT_FALSE(run.lines.empty()) << r.args[2];
    EXPECT_NE(run.lines[0].find(r.said), std::string::npos) << run.lines[0];
    EXPECT_EQ(veltest::ReadFile(file), kept) << r.args[2];
  }
  // A file that cannot be read as meant is never written over: the line is named.
  const std::string broken = kept + "Colour=red\r\n";
  veltest::WriteFile(file, broken);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"user", "remove", "alice"}, {"user", "add", "bob"}, {"user", "list"}}) {
    const VelctlRun run = Velctl(args, {}, true, twice);
    EXPECT_EQ(run.status, 1) << args[1];
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines[0].rfind("velctl: " + file + " line 5: unknown key Colour", 0), 0u)
        << run.lines[0];
    EXPECT_EQ(veltest::ReadFile(file), broken);
  }
}

// velctl history rebuilds each message of the outbox's journal beside it, newest first,
// as lines or JSON; a torn tail is where the records end.
TEST_F(VelctlTest, HistoryShowsTheOutboxsMessages) {
  veltest::TempDir dir;
  UseProgramDir(dir);
  const std::vector<std::string> utc = {"TZ=UTC"};
  EXPECT_EQ(Velctl({"history"}, utc).lines, std::vector<std::string>{});  // no outbox yet
  using vel::RecordType;
  const int64_t t0 = int64_t{1709287200} * 1000;  // 2024-03-01 10:00:00 UTC
  const std::vector<vel::OutboxRecord> records = {
      {RecordType::kAccepted, 1, t0, "10.0.0.5",
       "FT:GROUP1\xFEJOHN\xFE"
       "Fire in hall 3",
       "alice"},
      {RecordType::kAccepted, 2, t0 + 60000, "10.0.0.6",
       "FT:caf\xE9\xFE"
       "say \"hi\"\x01",
       ""},
      {RecordType::kPassed, 1, t0 + 1000, "", "", ""},
      {RecordType::kAccepted, 3, t0 + 120000, "10.0.0.6",
       "FT:A\xFE"
       "late",
       ""},
      {RecordType::kAccepted, 4, t0 + 130000, "10.0.0.6",
       "FT:A\xFE"
       "withdrawn",
       ""},
      {RecordType::kWithdrawn, 4, t0 + 130001, "", "", ""},
      {RecordType::kTaken, 1, t0 + 4250, "", "", ""},
      {RecordType::kExpired, 1, t0 + 9000, "", "", ""},  // nothing follows a message's end
      {RecordType::kPassed, 2, t0 + 61000, "", "", ""},
      {RecordType::kReturned, 2, t0 + 62000, "", "", ""},
      {RecordType::kExpired, 3, t0 + 180000, "", "", ""},
  };
  std::string journal;
  for (const vel::OutboxRecord& record : records) journal += vel::EncodeRecord(record);
  const std::string torn = vel::EncodeRecord({RecordType::kTaken, 2, t0 + 70000, "", "", ""});
  dir.Write("vel_outbox.dat", journal + torn.substr(0, torn.size() - 3));

  const std::vector<std::string> lines = {
      "2024-03-01 10:02:00  10.0.0.6  A  expired 2024-03-01 10:03:00  \"late\"",
      "2024-03-01 10:01:00  10.0.0.6  caf\\xe9  queued 2024-03-01 10:01:02  "
      "\"say \\\"hi\\\"\\x01\"",
      "2024-03-01 10:00:00  alice  GROUP1,JOHN  taken 2024-03-01 10:00:04  \"Fire in hall 3\""};
  EXPECT_EQ(Velctl({"history"}, utc).lines, lines);
  const std::vector<std::string> json = {
      "[",
      "  {\"id\": 3, \"state\": \"expired\", \"user\": null, \"address\": \"10.0.0.6\", "
      "\"receivers\": [\"A\"], \"message\": \"late\", \"accepted\": \"2024-03-01T10:02:00.000Z\", "
      "\"passed\": null, \"taken\": null, \"expired\": \"2024-03-01T10:03:00.000Z\"},",
      "  {\"id\": 2, \"state\": \"queued\", \"user\": null, \"address\": \"10.0.0.6\", "
      "\"receivers\": [\"caf\xC3\xA9\"], \"message\": \"say \\\"hi\\\"\\u0001\", "
      "\"accepted\": \"2024-03-01T10:01:00.000Z\", \"passed\": \"2024-03-01T10:01:01.000Z\", "
      "\"taken\": null, \"expired\": null},",
      "  {\"id\": 1, \"state\": \"taken\", \"user\": \"alice\", \"address\": \"10.0.0.5\", "
      "\"receivers\": [\"GROUP1\", \"JOHN\"], \"message\": \"Fire in hall 3\", "
      "\"accepted\": \"2024-03-01T10:00:00.000Z\", \"passed\": \"2024-03-01T10:00:01.000Z\", "
      "\"taken\": \"2024-03-01T10:00:04.250Z\", \"expired\": null}",
      "]"};
  // JSON times are UTC whatever the zone; --since is local time.
  EXPECT_EQ(Velctl({"history", "--json"}, {"TZ=JST-9"}).lines, json);
  struct Since {
    std::string time;
    size_t shown;
  };
  for (const Since& c : std::vector<Since>{{"2024-03-01", 3},
                                           {"2024-03-01 10:01", 2},
                                           {"2024-03-01T10:01:01", 1},
                                           {"2024-03-02", 0},
                                           {"24h", 0},
                                           {"999999h", 3}}) {
    const VelctlRun run = Velctl({"history", "--since", c.time}, utc);
    EXPECT_EQ(run.status, 0) << c.time;
    EXPECT_EQ(run.lines, std::vector<std::string>(lines.begin(), lines.begin() + c.shown))
        << c.time;
  }
  EXPECT_EQ(
      Velctl({"history", "--json", "--since", "2024-03-01 19:01"}, {"TZ=JST-9"}).lines,
      (std::vector<std::string>{json[0], json[1], json[2].substr(0, json[2].size() - 1), "]"}));
}

}  // namespace
