// The controller's side of privileged requests, on a fake tool: what each action asks the
// tool for, what the user is told for each outcome, and the host-configuration copy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/cf/PropertyListXML.h"
#include "platform/system/Paths.h"
#include "privileged/MoreSecurity.h"
#include "privileged/TVLActionController.h"
#include "privileged/TVLSecureToolCommunication.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/QtTestSupport.h"

using namespace tvl;

using testsupport::readFile;
using testsupport::writeFile;

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

constexpr char kErrorNumber[] = "com.apple.dts.MoreIsBetter.MoreSec.ErrorNumber";

struct Alert {
  std::string message, info;
  std::optional<std::string> button;
};

cf::Ref<cf::Dictionary> dict(
    std::initializer_list<std::pair<const char*, cf::Ref<const cf::Object>>> entries) {
  cf::Ref<cf::Dictionary> d = cf::Dictionary::create();
  for (auto& [key, value] : entries) d->setValue(key, value.get());
  return d;
}
cf::Ref<const cf::Object> str(const std::string& s) {
  return cf::String::create(s);
}
cf::Ref<const cf::Object> num(int32_t n) {
  return cf::Number::createSInt32(n);
}

std::string xml(const cf::Object* o) {
  std::string text;
  return o && cf::createXMLData(o, &text) ? text : "(null)";
}

// A tool that answers what the test says, and records every request and folder asked for.
struct FakeTool {
  std::vector<uint32_t> folders;         // locate calls, by folder type
  std::vector<int> locateResults = {0};  // one per call; the last repeats
  int executeResult = 0;
  cf::Ref<cf::Dictionary> answer;  // null: no response
  std::vector<std::string> requests;
  std::vector<std::string> tools;
  std::vector<Alert> alerts;

  TVLSecureToolCommunication::Services services() {
    TVLSecureToolCommunication::Services s;
    s.locateTool = [this](uint32_t folder, cf::Ref<cf::String>* tool) {
      size_t i = std::min(folders.size(), locateResults.size() - 1);
      folders.push_back(folder);
      int err = locateResults[i];
      if (err == 0)
        *tool = cf::String::create(folder == tvl::system::kTemporaryFolderType
                                       ? "/var/tmp/tool"
                                       : "/home/u/.local/share/NRVK/.TVLQCSecureTool");
      return err;
    };
    s.executeRequest = [this](const cf::String* tool, auth::AuthorizationRef auth,
                              const cf::Dictionary* request, cf::Ref<cf::Dictionary>* response) {
      EXPECT_NE(auth, nullptr);
      tools.push_back(tool->str());
      requests.push_back(xml(request));
      if (answer) *response = answer->mutableCopy();
      return executeResult;
    };
    s.alert = [this](const std::string& m, const std::string& i,
                     const std::optional<std::string>& b1, const std::optional<std::string>& b2,
                     const std::optional<std::string>& b3) {
      EXPECT_FALSE(b2 || b3);
      alerts.push_back({m, i, b1});
      return 1000;
    };
    s.localized = [](const std::string& english) { return english; };
    s.activate = [] {};
    return s;
  }
};

const char kUnsuitable[] =
    "Your home directory is on a volume that does not support privileged helper tools";
const char kNotAuthenticated[] = "You failed to authenticate so you cannot perform the action";

}  // namespace

// ---------------------------------------------------------------------------------------
// The two tests on a response

TEST(ResponseTests, AnErrorIsAReturnStringThatBeginsWithTheExactPrefix) {
  auto hasError = [](const cf::Dictionary* d) { return TVLSecureToolCommunication::hasError(d); };
  EXPECT_TRUE(hasError(dict({{"returnString", str("TVLQC Error:")}}).get()));
  EXPECT_TRUE(
      hasError(dict({{"returnString", str("TVLQC Error: cannot open com.nrvk.atv.plist")}}).get()));
  EXPECT_FALSE(hasError(dict({{"returnString", str("TVLQC Error")}}).get()));  // 11 characters
  EXPECT_FALSE(hasError(dict({{"returnString", str("tvlqc error:")}}).get()));
  EXPECT_FALSE(hasError(dict({{"returnString", str(" TVLQC Error:")}}).get()));
  EXPECT_FALSE(hasError(dict({{"returnString", num(1)}}).get()));
  EXPECT_FALSE(hasError(cf::Dictionary::create().get()));
  EXPECT_FALSE(hasError(nullptr));
}

TEST(ResponseTests, OnlyARefusedOrCancelledAuthorizationFailsTheAuthenticationTest) {
  FakeTool tool;
  TVLSecureToolCommunication comm(tool.services());
  for (int32_t err : {-60005, -60006}) {
    tool.alerts.clear();
    EXPECT_FALSE(comm.hasAuthenticated(dict({{kErrorNumber, num(err)}}).get()));
    ASSERT_EQ(tool.alerts.size(), 1u);
    EXPECT_EQ(tool.alerts[0].message, kNotAuthenticated);
    EXPECT_EQ(tool.alerts[0].info, "");
    EXPECT_EQ(tool.alerts[0].button, "OK");
  }
  tool.alerts.clear();
  EXPECT_TRUE(comm.hasAuthenticated(dict({{kErrorNumber, num(0)}}).get()));
  EXPECT_TRUE(comm.hasAuthenticated(dict({{kErrorNumber, num(-50)}}).get()));
  EXPECT_TRUE(comm.hasAuthenticated(dict({{kErrorNumber, str("-60006")}}).get()));
  EXPECT_TRUE(comm.hasAuthenticated(cf::Dictionary::create().get()));
  EXPECT_TRUE(comm.hasAuthenticated(nullptr));
  EXPECT_TRUE(tool.alerts.empty());
}

// ---------------------------------------------------------------------------------------
// Sending one request

TEST(PerformCommand, TheToolsResponseComesBackAsANewDictionary) {
  FakeTool tool;
  tool.answer = dict({{kErrorNumber, num(0)}, {"extra", str("kept")}});
  TVLSecureToolCommunication comm(tool.services());
  auto request =
      dict({{"task", num(7)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(3)}});
  cf::Ref<cf::Dictionary> response = comm.performCommandAuthenticated(request.get());
  ASSERT_TRUE(response);
  EXPECT_TRUE(cf::equal(response.get(), tool.answer.get()));
  EXPECT_NE(response.get(), tool.answer.get());
  EXPECT_EQ(tool.requests, std::vector<std::string>{xml(request.get())});
  EXPECT_EQ(tool.folders, std::vector<uint32_t>{tvl::system::kApplicationSupportFolderType});
  EXPECT_TRUE(tool.alerts.empty());
}

TEST(PerformCommand, UnsuitableHomeFallsBackToTemporaryItemsThenGivesUpWithAnAlert) {
  FakeTool tool;
  tool.locateResults = {kHelperToolFolderUnsuitableErr, 0};
  tool.answer = dict({{kErrorNumber, num(0)}});
  TVLSecureToolCommunication comm(tool.services());
  auto request = dict({{"task", num(2)}});
  EXPECT_TRUE(comm.performCommandAuthenticated(request.get()));
  EXPECT_EQ(tool.folders, (std::vector<uint32_t>{tvl::system::kApplicationSupportFolderType,
                                                 tvl::system::kTemporaryFolderType}));
  EXPECT_EQ(tool.tools, std::vector<std::string>{"/var/tmp/tool"});
  EXPECT_TRUE(tool.alerts.empty());

  FakeTool nowhere;
  nowhere.locateResults = {kHelperToolFolderUnsuitableErr};
  TVLSecureToolCommunication comm2(nowhere.services());
  EXPECT_FALSE(comm2.performCommandAuthenticated(request.get()));
  EXPECT_TRUE(nowhere.requests.empty());
  ASSERT_EQ(nowhere.alerts.size(), 1u);
  EXPECT_EQ(nowhere.alerts[0].message, kUnsuitable);
  EXPECT_EQ(nowhere.alerts[0].button, "OK");
  // A null response passes both tests without a further message.
  EXPECT_TRUE(comm2.hasAuthenticated(nullptr));
  EXPECT_FALSE(TVLSecureToolCommunication::hasError(nullptr));
  EXPECT_EQ(nowhere.alerts.size(), 1u);
}

TEST(PerformCommand, ARequestWithoutNumericTaskIsAnsweredWithTheBareErrorTextAndNotSent) {
  FakeTool tool;
  TVLSecureToolCommunication comm(tool.services());
  for (auto request : {dict({}), dict({{"task", str("7")}})}) {
    cf::Ref<cf::Dictionary> response = comm.performCommandAuthenticated(request.get());
    ASSERT_TRUE(response);
    EXPECT_EQ(xml(response.get()), xml(dict({{"returnString", str("TVLQC Error:")}}).get()));
  }
  EXPECT_TRUE(tool.requests.empty());
}

// An exchange that never happened must not read as success.
TEST(PerformCommand, AFailedExchangeIsAnErrorUnlessItWasTheAuthorization) {
  struct Case {
    std::vector<int> locate;
    int execute;
    bool authorizationFailure;
  } cases[] = {
      {{-4960}, 0, false},                          // template missing
      {{0}, kHelperToolRepairFailedErr, false},     // blessing failed
      {{0}, EPIPE, false},                          // tool unreachable
      {{0}, auth::errAuthorizationCanceled, true},  // blessing dialog dismissed
      {{0}, auth::errAuthorizationDenied, true},
  };
  for (const Case& c : cases) {
    FakeTool tool;
    tool.locateResults = c.locate;
    tool.executeResult = c.execute;
    TVLSecureToolCommunication comm(tool.services());
    cf::Ref<cf::Dictionary> response =
        comm.performCommandAuthenticated(dict({{"task", num(4)}}).get());
    ASSERT_TRUE(response);
    SCOPED_TRACE(xml(response.get()));
    EXPECT_EQ(comm.hasAuthenticated(response.get()), !c.authorizationFailure);
    EXPECT_EQ(TVLSecureToolCommunication::hasError(response.get()), !c.authorizationFailure);
  }
  // A tool that reports a failure number without a text.
  FakeTool silent;
  silent.answer = dict({{kErrorNumber, num(-50)}});
  TVLSecureToolCommunication comm(silent.services());
  EXPECT_TRUE(TVLSecureToolCommunication::hasError(
      comm.performCommandAuthenticated(dict({{"task", num(2)}}).get()).get()));
}

TEST(SharedInstances, ASecondInitAnswersTheFirst) {
  FakeTool first, second;
  TVLSecureToolCommunication& a = TVLSecureToolCommunication::init(first.services());
  TVLSecureToolCommunication& b = TVLSecureToolCommunication::init(second.services());
  EXPECT_EQ(&a, &b);
  EXPECT_EQ(&a, &TVLSecureToolCommunication::sharedInstance());
  a.hasAuthenticated(dict({{kErrorNumber, num(-60005)}}).get());
  EXPECT_EQ(first.alerts.size(), 1u);
  EXPECT_TRUE(second.alerts.empty());
  TVLActionController& x = TVLActionController::init({});
  EXPECT_EQ(&x, &TVLActionController::init({}));
  EXPECT_EQ(&x, &TVLActionController::sharedInstance());
  TVLActionController::releaseSharedInstance();
  TVLSecureToolCommunication::releaseSharedInstance();
}

// ---------------------------------------------------------------------------------------
// The actions

struct Actions {
  TempDir dir;
  FakeTool tool;
  TVLSecureToolCommunication comm{tool.services()};
  TVLActionController actions{[this] {
    TVLActionController::Services s;
    s.communication = &comm;
    s.alert = tool.services().alert;
    s.localized = [](const std::string& e) { return e; };
    s.hostConfigPath = (dir.path() / "etc-hostconfig").string();
    s.tempHostConfigPath = (dir.path() / "hostconfig").string();
    return s;
  }()};
  fs::path hostConfig() const { return dir.path() / "etc-hostconfig"; }
  fs::path copy() const { return dir.path() / "hostconfig"; }
};

TEST(Actions, EachSendsExactlyItsKeys) {
  Actions a;
  a.tool.answer = dict({{kErrorNumber, num(0)}});
  struct Row {
    void (TVLActionController::*action)();
    cf::Ref<cf::Dictionary> request;
  } rows[] = {
      {&TVLActionController::startAction, dict({{"task", num(4)}})},
      {&TVLActionController::stopAction, dict({{"task", num(5)}})},
      {&TVLActionController::loadTigerAction,
       dict({{"task", num(2)}, {"filename", str("com.nrvk.atv.plist")}, {"folder", num(3)}})},
      {&TVLActionController::unloadTigerAction,
       dict({{"task", num(3)}, {"filename", str("com.nrvk.atv.plist")}, {"folder", num(3)}})},
      {&TVLActionController::loadLeopardAction,
       dict({{"task", num(7)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(3)}})},
      {&TVLActionController::unloadLeopardAction,
       dict({{"task", num(8)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(3)}})},
      {&TVLActionController::changeTvldPerms,
       dict({{"task", num(8)}, {"filename", str("com.nrvk.sweeper.plist")}, {"folder", num(2)}})},
  };
  for (auto& row : rows) {
    a.tool.requests.clear();
    (a.actions.*row.action)();
    EXPECT_EQ(a.tool.requests, std::vector<std::string>{xml(row.request.get())});
  }
  EXPECT_TRUE(a.tool.alerts.empty());  // success shows nothing
}

TEST(Actions, AToolErrorShowsTheActionsUnknownErrorAlert) {
  struct Row {
    void (TVLActionController::*action)();
    const char* name;
  } rows[] = {{&TVLActionController::startAction, "start"},
              {&TVLActionController::stopAction, "stop"},
              {&TVLActionController::loadTigerAction, "load-tiger"},
              {&TVLActionController::unloadTigerAction, "unload-tiger"},
              {&TVLActionController::loadLeopardAction, "load-leopard"},
              {&TVLActionController::unloadLeopardAction, "unload-leopard"},
              {&TVLActionController::changeTvldPerms, "unload-leopard"}};
  for (auto& row : rows) {
    Actions a;
    a.tool.answer =
        dict({{kErrorNumber, num(2)}, {"returnString", str("TVLQC Error: anything at all")}});
    (a.actions.*row.action)();
    ASSERT_EQ(a.tool.alerts.size(), 1u) << row.name;
    EXPECT_EQ(a.tool.alerts[0].message, std::string("An unknown error occurred when trying to ") +
                                            row.name + " /Library/LaunchDaemons");
    EXPECT_EQ(a.tool.alerts[0].info, "Please try again");
    EXPECT_EQ(a.tool.alerts[0].button, "OK");
  }
}

TEST(Actions, EachFailureShowsOneAlertOfItsOwn) {
  // A refused or cancelled authorization: only its own alert, never "Please try again".
  for (int32_t refusal : {-60005, -60006}) {
    Actions a;
    a.tool.answer = dict({{kErrorNumber, num(refusal)}, {"returnString", str("TVLQC Error: x")}});
    a.actions.unloadTigerAction();
    ASSERT_EQ(a.tool.alerts.size(), 1u);
    EXPECT_EQ(a.tool.alerts[0].message, kNotAuthenticated);
  }
  // No folder for the tool: its alert only.
  {
    Actions a;
    a.tool.locateResults = {kHelperToolFolderUnsuitableErr};
    a.actions.loadLeopardAction();
    ASSERT_EQ(a.tool.alerts.size(), 1u);
    EXPECT_EQ(a.tool.alerts[0].message, kUnsuitable);
  }
  // The tool couldn't be blessed or reached: the user hears of it.
  {
    Actions a;
    a.tool.executeResult = kHelperToolRepairFailedErr;
    a.actions.loadLeopardAction();
    ASSERT_EQ(a.tool.alerts.size(), 1u);
    EXPECT_EQ(a.tool.alerts[0].message,
              "An unknown error occurred when trying to load-leopard /Library/LaunchDaemons");
  }
  // The blessing's own authorization dialog was dismissed: the authorization alert.
  {
    Actions a;
    a.tool.executeResult = auth::errAuthorizationCanceled;
    a.actions.loadLeopardAction();
    ASSERT_EQ(a.tool.alerts.size(), 1u);
    EXPECT_EQ(a.tool.alerts[0].message, kNotAuthenticated);
  }
}

// An action controller made without an alert of its own (the shared one, made on first
// use) still tells the user, through the platform's alert.
TEST(Actions, WithoutAnAlertOfItsOwnAFailureStillShowsOne) {
  FakeTool tool;
  tool.answer = dict({{kErrorNumber, num(2)}, {"returnString", str("TVLQC Error: no")}});
  TVLSecureToolCommunication comm(tool.services());
  TVLActionController::Services s;
  s.communication = &comm;
  TVLActionController actions(s);
  testsupport::SeenAlert seen;
  testsupport::closeNextAlert(&seen);
  actions.loadTigerAction();
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(seen.text,
            "An unknown error occurred when trying to load-tiger /Library/LaunchDaemons");
  EXPECT_EQ(seen.informativeText, "Please try again");
}

TEST(Actions, TheAlertIsFilledAfterItsFormatIsTranslated) {
  EXPECT_EQ(TVLFormat("trying to %@ %@", {"load-tiger", "/Library"}),
            "trying to load-tiger /Library");
  EXPECT_EQ(TVLFormat("%2$@ then %1$@, 100%%", {"a", "b"}), "b then a, 100%");
  EXPECT_EQ(TVLFormat("%@ %@ %@", {"only"}), "only  ");
  EXPECT_EQ(TVLFormat("50% off %d", {}), "50% off %d");
}

// ---------------------------------------------------------------------------------------
// The host-configuration copy

TEST(HostConfigCopy, StartChangesOnlyTheSettingsLineByteForByte) {
  Actions a;
  const std::string original =
      "##\n# /etc/hostconfig\n##\n\nAFPSERVER=-NO-\nTVLD=-NO-\nTIMESYNC=-YES-\n";
  writeFile(a.hostConfig(), original);
  a.actions.startAction();
  EXPECT_EQ(readFile(a.copy()),
            "##\n# /etc/hostconfig\n##\n\nAFPSERVER=-NO-\nTVLD=-YES-\nTIMESYNC=-YES-\n");
  EXPECT_EQ(readFile(a.hostConfig()), original);
  a.actions.stopAction();
  EXPECT_EQ(readFile(a.copy()), original);
  // The request follows the copy.
  EXPECT_EQ(a.tool.requests.size(), 2u);
}

TEST(HostConfigCopy, EveryLineNamingTheSettingIsReplacedAndAMissingFinalLineFeedStaysMissing) {
  Actions a;
  writeFile(a.hostConfig(), "# TVLD starts the daemon\r\nXTVLDX=-NO-\nTVLD=-NO-");
  a.actions.writeNewTempHostConfigFileWith("TVLD", true);
  EXPECT_EQ(readFile(a.copy()), "TVLD=-YES-\nTVLD=-YES-\nTVLD=-YES-");
  a.actions.writeNewTempHostConfigFileWith("tvld", false);  // case counts: no line matches
  EXPECT_EQ(readFile(a.copy()), "TVLD=-YES-\nTVLD=-YES-\nTVLD=-YES-");
}

TEST(HostConfigCopy, NoMatchingLineOrNoFileLeavesTheOldCopyAndStillSendsTheRequest) {
  Actions a;
  writeFile(a.copy(), "earlier copy\n");
  writeFile(a.hostConfig(), "AFPSERVER=-NO-\n");
  a.actions.startAction();
  EXPECT_EQ(readFile(a.copy()), "earlier copy\n");
  fs::remove(a.hostConfig());
  a.actions.stopAction();
  EXPECT_EQ(readFile(a.copy()), "earlier copy\n");
  EXPECT_EQ(a.tool.requests, (std::vector<std::string>{xml(dict({{"task", num(4)}}).get()),
                                                       xml(dict({{"task", num(5)}}).get())}));
}

TEST(HostConfigCopy, APlantedLinkIsReplacedNotFollowedAndNoTemporaryFileStays) {
  Actions a;
  writeFile(a.hostConfig(), "TVLD=-NO-\n");
  fs::path victim = a.dir.path() / "victim";
  writeFile(victim, "precious\n");
  fs::create_symlink(victim, a.copy());
  a.actions.startAction();
  EXPECT_EQ(readFile(victim), "precious\n");
  EXPECT_FALSE(fs::is_symlink(a.copy()));
  EXPECT_EQ(readFile(a.copy()), "TVLD=-YES-\n");
  int files = 0;
  for (auto& entry : fs::directory_iterator(a.dir.path())) files += entry.exists() ? 1 : 0;
  EXPECT_EQ(files, 3);  // etc-hostconfig, hostconfig, victim
}
