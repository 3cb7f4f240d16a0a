// Customers' machines and supporters against a relay of tests/support/with-relay-package,
// with the stock OpenSSH client: keys, registrations, tunnels, the supporter's commands.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>

#include "relay/Processes.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/Polling.h"
#include "support/Shell.h"

namespace relaytest {

namespace fs = std::filesystem;

using testsupport::Outcome;
using testsupport::run;
using testsupport::shellWord;

inline fs::path relayDir() {
  const char* d = std::getenv("TVL_RELAY_DIR");
  return d ? d : "";
}

inline bool listening(int port) {
  return tvl::relay::currentPortUse().listening.count(port) > 0;
}

class RelayClient {
 public:
  RelayClient() {
    std::smatch m;
    std::string conf = testsupport::readFile(relayDir() / "relay.conf");
    std::regex_search(conf, m, std::regex("hostkey=(.*)"));
    testsupport::writeFile(dir_.path() / "known_hosts", "127.0.0.1 " + m[1].str() + "\n");
  }
  const fs::path& dir() const { return dir_.path(); }
  std::string organisationKey() const { return (relayDir() / "organisation_key").string(); }
  std::string supporterKey() const { return (relayDir() / "supporter_key").string(); }

  // A fresh Ed25519 key pair; the private half's path.
  std::string newKey(const std::string& name) {
    std::string path = (dir() / name).string();
    run("ssh-keygen -q -t ed25519 -N '' -f " + shellWord(path));
    return path;
  }
  std::vector<std::string> sshArgs(const std::string& identity, const std::string& user) const {
    return {"/usr/bin/ssh",
            "-o",
            "BatchMode=yes",
            "-o",
            "IdentitiesOnly=yes",
            "-o",
            "IdentityAgent=none",
            "-o",
            "StrictHostKeyChecking=yes",
            "-o",
            "UserKnownHostsFile=" + (dir() / "known_hosts").string(),
            "-o",
            "GlobalKnownHostsFile=/dev/null",
            "-o",
            "ExitOnForwardFailure=yes",
            "-o",
            "ConnectTimeout=10",
            "-i",
            identity,
            "-l",
            user};
  }
  std::string sshCommand(const std::string& identity, const std::string& user) const {
    std::string c;
    for (auto& a : sshArgs(identity, user)) c += shellWord(a) + " ";
    return c;
  }
  // A forced command's answer, with input on its standard input.
  Outcome ask(const std::string& identity, const std::string& user, const std::string& command,
              const std::string& input = "") {
    fs::path in = dir() / ("input" + std::to_string(inputs_++));
    testsupport::writeFile(in, input);
    return run(sshCommand(identity, user) + "127.0.0.1 " + shellWord(command) + " < " +
               shellWord(in.string()));
  }
  // Registers the key's public half with the organisation's key: the port, or 0.
  int registerSession(const std::string& key, Outcome* outcome = nullptr) {
    Outcome o =
        ask(organisationKey(), "tvlrelay", "register 30", testsupport::readFile(key + ".pub"));
    if (outcome) *outcome = o;
    std::smatch m;
    return std::regex_search(o.output, m, std::regex("port=(\\d+)")) ? std::stoi(m[1]) : 0;
  }
  // A link's session, prepared by the supporter for the key.
  int prepareLink(const std::string& key) {
    Outcome o =
        ask(supporterKey(), "tvlsupport", "prepare 30 2", testsupport::readFile(key + ".pub"));
    std::smatch m;
    return std::regex_search(o.output, m, std::regex("port=(\\d+)")) ? std::stoi(m[1]) : 0;
  }
  // ssh -N -R PORT:TARGET with the key, as a customer's machine holds its session open.
  testsupport::ChildProcess tunnel(const std::string& key, int port, const std::string& target,
                                   const std::string& listenPort = "") {
    auto args = sshArgs(key, "tvlrelay");
    args.insert(
        args.end(),
        {"-N", "-R", (listenPort.empty() ? std::to_string(port) : listenPort) + ":" + target,
         "127.0.0.1"});
    return testsupport::ChildProcess(args);
  }

 private:
  testsupport::TempDir dir_;
  std::atomic<int> inputs_{0};
};

}  // namespace relaytest
