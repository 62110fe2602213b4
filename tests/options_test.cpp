// The module options: the catalogue's defaults and computed values, the
// redirects of compatibility mode, the customised texts, the options text
// (load, save, files), the private keys and the memory filter's record.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "diagnostics/config/EOptions.h"
#include "test_support.h"

namespace zelvic::diag {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> Utf8WithMark(std::string_view text) {
  std::string marked = "\xEF\xBB\xBF";
  marked += text;
  return Bytes(marked);
}

std::string AsString(const std::vector<std::uint8_t>& b) { return std::string(b.begin(), b.end()); }


std::wstring TempPath(const wchar_t* name) {
  const wchar_t* tmp = _wgetenv(L"TEMP");
  return std::wstring(tmp != nullptr ? tmp : L".") + L"\\" + name;
}

// Fixed system values, so that no test depends on what the machine reports.
class OptionsTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = OptionsHooks();
    OptionsHooks().SystemValue = [](TSystemValueKind kind) -> std::wstring {
      switch (kind) {
        case svRegisteredOrganization: return L"Org Ltd";
        case svComputerName: return L"HOST1";
        case svUserEMail: return L"me@host.test";
        case svRegisteredOwner: return L"Owner Name";
        case svLoggedOnUserName: return L"user1";
      }
      return {};
    };
    OptionsHooks().FacilityDataFolder = [] { return std::wstring(L"C:\\AppData\\Tessaro\\VarnelLog\\"); };
  }
  void TearDown() override { OptionsHooks() = saved_; }

 private:
  TOptionsHooks saved_;
};

// --- the catalogue -------------------------------------------------------------------

TEST(OptionsCatalogue, EveryRowIsWellFormedAndRedirectsNameCatalogueKeys) {
  std::set<std::string> properties;
  for (const TOptionDef& def : OptionCatalogue()) {
    EXPECT_TRUE(properties.insert(def.Property).second) << "duplicate accessor " << def.Property;
    if (*def.CompatKey != L'\0') {
      const TOptionDef* older = FindOptionByKey(def.CompatKey);
      ASSERT_NE(older, nullptr) << def.Property;
      EXPECT_EQ(older->Kind, def.Kind) << def.Property;
    }
    if (*def.Key == L'\0') {
      EXPECT_NE(def.Rule, TOptionRule::None) << def.Property << " has no key and no rule";
    }
  }
}

TEST(OptionsCatalogue, MessageTypesAreNamedInOrderWithOneReservedMember) {
  EXPECT_EQ(MessageTypeName(mtInformationMsgCaption), L"mtInformationMsgCaption");
  EXPECT_EQ(static_cast<int>(mtSend_InvalidModifyMsg), 152);
  EXPECT_EQ(static_cast<int>(mtException_LeakMultiFree), 154);
  EXPECT_EQ(MessageTypeName(static_cast<TMessageType>(153)), L"");
  EXPECT_EQ(static_cast<int>(mtMSDialog_EmailCaption2), 182);
  EXPECT_EQ(MessageTypeName(mtSendDialog_Caption), L"mtSendDialog_Caption");
  EXPECT_EQ(static_cast<int>(mtSendDialog_Caption), 110);
  EXPECT_EQ(static_cast<int>(mtSendDialog_Sending), 116);
  std::set<std::wstring> names;
  for (std::size_t i = 0; i < kMessageTypeCount; ++i) {
    const std::wstring_view name = MessageTypeName(static_cast<TMessageType>(i));
    if (i != 153) {
      EXPECT_TRUE(names.insert(std::wstring(name)).second) << i;
    }
  }
}

// --- defaults and typed access ------------------------------------------------------------

TEST_F(OptionsTest, AnEmptyStoreGivesTheCatalogueDefaults) {
  TVarnelModuleOptions o;
  EXPECT_FALSE(o.ActivateVarnelLog());       // "Activate"
  EXPECT_TRUE(o.ActivateFilters());          // "Activate Handle"
  EXPECT_EQ(o.ExceptionDialogType(), L"TMSClassicDialog");
  EXPECT_EQ(o.CustomExceptionMessage(),
            L"There was an error. If you were in the middle of something, the information you were working on "
            L"might be lost.");
  EXPECT_EQ(o.EMailSubject(), L"%_ThisModuleName%: %_ExceptType% (Bug %_BugID%; v%_ThisModuleVer%)");
  EXPECT_EQ(o.ProxyPort(), 8080);
  EXPECT_EQ(o.FreezeTimeout(), 60);
  EXPECT_EQ(o.csoAllowedRenderMethods(), 32u);
  EXPECT_EQ(o.csoDisabledRenderMethods(), 0x80000000u);
  EXPECT_EQ(o.SendTimeout(), 60000u);
  EXPECT_EQ(o.ForegroundTab(), ftCallStack);
  EXPECT_EQ(o.TerminateBtnOperation(), tbRestart);
  EXPECT_EQ(o.AutoCrashOperation(), tbNone);
  EXPECT_EQ(o.sndScreenshot(), ssActiveWindow);
  EXPECT_EQ(o.NestedExceptionMessage(), sekLast);
  EXPECT_EQ(o.NestedExceptionStack(), sekFirst);
  EXPECT_EQ(o.WERDumpType(), WerDumpTypeUnknown);
  EXPECT_EQ(o.DefaultThreadState(), dtsDisabled);
  EXPECT_EQ(o.SendJIRAIssueType(), L"Bug");
  EXPECT_EQ(o.TextsCollection(), L"Default");
  EXPECT_EQ(o.SMTPUserID(), L"your-account");
  EXPECT_TRUE(o.loZeroFreedMemory());        // key "loEmptyFreedMemory"
  EXPECT_TRUE(o.loSaveModulesSection());     // key "loModulesSecton"
  EXPECT_TRUE(o.DeferredCallStacks());
  EXPECT_TRUE(o.UseLowLevel());
  EXPECT_FALSE(o.CompatibilityMode());
  EXPECT_EQ(o.Version(), 7007);
}

TEST_F(OptionsTest, EveryPlainRowReadsItsDefaultAndWhatWasWritten) {
  TVarnelModuleOptions o;
  for (std::size_t i = 0; i < OptionCatalogue().size(); ++i) {
    const TOptionDef& def = OptionCatalogue()[i];
    if (def.Rule != TOptionRule::None || *def.CompatKey != L'\0') continue;
    const auto id = static_cast<TOptionId>(i);
    o.MutableStorage().Clear();
    if (def.Kind == TOptionKind::Text) {
      EXPECT_EQ(o.ReadText(id), def.TextDefault) << def.Property;
      o.WriteText(id, L"x--\"y\"");
      EXPECT_EQ(o.ReadText(id), L"x--\"y\"") << def.Property;
    } else {
      const std::int64_t expected =
          def.Kind == TOptionKind::UInt32 ? static_cast<std::uint32_t>(def.NumberDefault) : def.NumberDefault;
      EXPECT_EQ(o.ReadNumber(id), expected) << def.Property;
      const std::int64_t other = def.Kind == TOptionKind::Bool ? !def.NumberDefault : def.NumberDefault + 3;
      o.WriteNumber(id, other);
      EXPECT_EQ(o.ReadNumber(id), other) << def.Property;
    }
  }
}

TEST_F(OptionsTest, TypedWritesStoreDecimalTextAndBadNumbersReadAsTheDefault) {
  TVarnelModuleOptions o;
  o.SetActivateVarnelLog(true);
  o.SetProxyPort(3128);
  o.SetSendTimeout(0xFFFFFFFFu);
  o.SetTerminateBtnOperation(tbTerminate);
  o.SetSMTPHost(L"smtp.local");
  EXPECT_EQ(o.GetCustomField(L"Activate"), L"1");
  EXPECT_EQ(o.GetCustomField(L"ProxyPort"), L"3128");
  EXPECT_EQ(o.GetCustomField(L"sndTimeout"), L"4294967295");
  EXPECT_EQ(o.GetCustomField(L"TerminateBtn Operation"), L"1");
  EXPECT_EQ(o.SendTimeout(), 0xFFFFFFFFu);

  struct Case {
    const wchar_t* stored;
    std::int32_t proxy_port;
    bool activate;
  };
  const Case cases[] = {
      {L"8", 8, true}, {L"-1", -1, true}, {L"0", 0, false},  {L"abc", 8080, false},
      {L"", 8080, false}, {L"1.0", 8080, false}, {L"2147483648", 8080, false}, {L"12 ", 8080, false},
  };
  for (const Case& c : cases) {
    o.SetCustomField(L"ProxyPort", c.stored);
    o.SetCustomField(L"Activate", c.stored);
    EXPECT_EQ(o.ProxyPort(), c.proxy_port) << testing::PrintToString(std::wstring(c.stored));
    EXPECT_EQ(o.ActivateVarnelLog(), c.activate) << testing::PrintToString(std::wstring(c.stored));
  }
  // Unsigned options also take the signed 32-bit form of their value.
  o.SetCustomField(L"sndTimeout", L"-2");
  EXPECT_EQ(o.SendTimeout(), 0xFFFFFFFEu);
}

TEST_F(OptionsTest, WebPortIs443WithSSLAnd80WithoutUnlessStored) {
  TVarnelModuleOptions o;
  EXPECT_EQ(o.WebPort(), 80);
  o.SetWebSSL(true);
  EXPECT_EQ(o.WebPort(), 443);
  o.SetWebPort(8443);
  EXPECT_EQ(o.WebPort(), 8443);
  o.SetWebSSL(false);
  EXPECT_EQ(o.WebPort(), 8443);
}

TEST_F(OptionsTest, ComputedDefaultsFollowTheOptionsTheyDependOn) {
  TVarnelModuleOptions o;
  EXPECT_EQ(o.SMTPServerPort(), 25);
  o.SetSMTPPort(2525);
  EXPECT_EQ(o.SMTPServerPort(), 2525);
  o.SetSMTPServerPort(26);
  EXPECT_EQ(o.SMTPServerPort(), 26);

  o.SetSendSMTPClientSSL(true);
  EXPECT_TRUE(o.SendSMTPClientSSL());
  o.SetSendSMTPClientTLS(true);
  EXPECT_FALSE(o.SendSMTPClientSSL());
  o.SetSendSMTPServerSSL(true);
  EXPECT_TRUE(o.SendSMTPServerSSL());
  o.SetSendSMTPServerTLS(true);
  EXPECT_FALSE(o.SendSMTPServerSSL());

  EXPECT_TRUE(o.loHideRTLLeaks());
  o.SetCustomField(L"loHide", L"0");
  EXPECT_FALSE(o.loHideRTLLeaks());
  o.SetloHideRTLLeaks(true);
  EXPECT_TRUE(o.loHideRTLLeaks());

  o.SetTerminateBtnChecked(false);
  EXPECT_FALSE(o.edoRestartChecked());

  for (const wchar_t* stored : {L"0", L"1", L"2", L"3", L"7", L"x"}) {
    o.SetCustomField(L"NestedExceptionsStack", stored);
    EXPECT_EQ(o.NestedExceptionStack(), std::wstring(stored) == L"3" ? sekLast : sekFirst) << stored;
  }
}

TEST_F(OptionsTest, SectionsThatCannotBeSwitchedOffStayOn) {
  TVarnelModuleOptions o;
  o.SetsoExcAddress(false);
  o.SetsoExcID(false);
  o.SetCustomField(L"soExcMessage", L"0");
  EXPECT_TRUE(o.soExcAddress());
  EXPECT_TRUE(o.soExcID());
  EXPECT_TRUE(o.soExcMessage());
  EXPECT_TRUE(o.soExcSend());
  EXPECT_TRUE(o.soExcType());
}

TEST_F(OptionsTest, EventLogCategoryAboveAWordIsARangeError) {
  TVarnelModuleOptions o;
  o.SetCustomField(L"EventLog_Category", L"65535");
  EXPECT_EQ(o.EventLogCategory(), 65535);
  o.SetCustomField(L"EventLog_Category", L"65536");
  EXPECT_THROW(o.EventLogCategory(), ERangeError);
  o.SetCustomField(L"EventLog_Category", L"-1");
  EXPECT_THROW(o.EventLogCategory(), ERangeError);
}

// --- compatibility mode --------------------------------------------------------------------------

TEST_F(OptionsTest, CompatibilityModeRedirectsEveryRowWithAnOlderKey) {
  int checked = 0;
  for (std::size_t i = 0; i < OptionCatalogue().size(); ++i) {
    const TOptionDef& def = OptionCatalogue()[i];
    if (*def.CompatKey == L'\0') continue;
    const auto id = static_cast<TOptionId>(i);
    TVarnelModuleOptions o;
    const bool text = def.Kind == TOptionKind::Text;
    o.SetCustomField(def.CompatKey, text ? L"older value" : L"4321");
    o.SetCustomField(def.Key, text ? L"own value" : L"1234");
    if (def.Kind == TOptionKind::Bool) {
      o.SetCustomField(def.CompatKey, L"1");
      o.SetCustomField(def.Key, L"0");
    }
    o.SetCompatibilityMode(false);
    if (text) {
      EXPECT_EQ(o.ReadText(id), L"own value") << def.Property;
    } else {
      EXPECT_EQ(o.ReadNumber(id), def.Kind == TOptionKind::Bool ? 0 : 1234) << def.Property;
    }
    o.SetCompatibilityMode(true);
    if (text) {
      EXPECT_EQ(o.ReadText(id), L"older value") << def.Property;
    } else {
      EXPECT_EQ(o.ReadNumber(id), def.Kind == TOptionKind::Bool ? 1 : 4321) << def.Property;
    }
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST_F(OptionsTest, RedirectedReadsTakeTheOlderOptionsOwnDefault) {
  TVarnelModuleOptions o;
  o.SetCompatibilityMode(true);
  EXPECT_EQ(o.SendBugZillaPort(), 80);                    // WebPort's default
  o.SetWebSSL(true);
  EXPECT_EQ(o.SendBugZillaPort(), 443);                   // ... which follows SSL
  EXPECT_EQ(o.SendShellTarget(), VL_PLACEHOLDER_EMAIL);   // Email Address
  EXPECT_EQ(o.SendSMTPServerPort(), 25);                  // SMTP Server Port, from SMTP Port
  o.SetSMTPPort(587);
  EXPECT_EQ(o.SendSMTPServerPort(), 587);
  EXPECT_EQ(o.SendFTPPort(), 443);                        // WebPort when not 80
  o.SetCompatibilityMode(false);
  EXPECT_EQ(o.SendFTPPort(), 21);
  EXPECT_EQ(o.SendBugZillaPort(), 80);
}

TEST_F(OptionsTest, CompatibilityModeDefaultsOnForOlderFormatVersions) {
  struct Case {
    const wchar_t* version;
    bool compatibility;
  };
  const Case cases[] = {{L"7007", false}, {L"7000", false}, {L"6999", true}, {L"601", true}, {L"1", true}};
  for (const Case& c : cases) {
    TVarnelModuleOptions o;
    o.Assign(std::vector<std::wstring>{std::wstring(L"VarnelLog Version=") + c.version});
    EXPECT_EQ(o.CompatibilityMode(), c.compatibility) << c.version;
  }
  TVarnelModuleOptions o;
  o.Assign(std::vector<std::wstring>{L"VarnelLog Version=601"});
  EXPECT_EQ(o.Version(), 6010);
}

// --- texts derived from other options -------------------------------------------------------------

TEST_F(OptionsTest, OutputPathGetsADelimiterUnlessItNamesAReportFile) {
  struct Case {
    const wchar_t* stored;
    const wchar_t* read;
  };
  const Case cases[] = {
      {L"C:\\Reports", L"C:\\Reports\\"},   {L"C:\\Reports\\", L"C:\\Reports\\"}, {L"D:/logs/", L"D:/logs/"},
      {L"C:\\x\\app.vl", L"C:\\x\\app.vl"}, {L"C:\\x\\app.VLF", L"C:\\x\\app.VLF"}, {L".vl", L".vl"},
      {L".VLF", L".VLF"},                   {L"C:\\x\\app.log", L"C:\\x\\app.log\\"}, {L"", L""},
      {L"C:\\dir.vl\\sub", L"C:\\dir.vl\\sub\\"},
  };
  TVarnelModuleOptions o(L"C:\\bin\\_zelvic.dll");
  for (const Case& c : cases) {
    o.SetCustomField(L"Output Path", c.stored);
    EXPECT_EQ(o.OutputPath(), c.read) << testing::PrintToString(std::wstring(c.stored));
  }
}

TEST_F(OptionsTest, OutputPathDefaultsToTheModulesBugReportsFolder) {
  TVarnelModuleOptions o(L"C:\\bin\\_zelvic.dll");
  EXPECT_EQ(o.OutputPath(), L"C:\\AppData\\Tessaro\\VarnelLog\\Bug Reports\\_zelvic.dll\\");
  o.SetCompatibilityMode(true);
  EXPECT_EQ(o.OutputPath(), L"");
}

TEST_F(OptionsTest, HTMLLayoutIsStoredMultiLineOrTheBuiltInPage) {
  TVarnelModuleOptions o;
  const std::wstring modern = o.HTMLLayout();
  EXPECT_NE(modern.find(L"<%TITLE%>"), std::wstring::npos);
  EXPECT_NE(modern.find(L"Internal Application Error"), std::wstring::npos);
  EXPECT_NE(modern.find(L"<%EXCEPTION_MESSAGE%>"), std::wstring::npos);
  EXPECT_NE(modern.find(L"The exception details were saved to log file. Contact site administrator."),
            std::wstring::npos);
  o.SetCompatibilityMode(true);
  EXPECT_NE(o.HTMLLayout().find(L"<%HTML_TAG%>"), std::wstring::npos);
  o.SetCompatibilityMode(false);
  o.Assign(std::vector<std::wstring>{L"HTMLLayout Count=3", L"HTMLLine0=<p>", L"HTMLLine1=\"\"\"quoted\"\"\"",
                                     L"HTMLLine2=</p>"});
  EXPECT_EQ(o.HTMLLayout(), L"<p>\r\nquoted\r\n</p>");
  o.SetHTMLLayout(L"<b>x</b>");
  EXPECT_EQ(o.HTMLLayout(), L"<b>x</b>");
}

TEST_F(OptionsTest, SendModesComeFromTheSenderClassList) {
  struct Case {
    const wchar_t* senders;
    bool server_mode;
    const wchar_t* mail;
    const wchar_t* web;
  };
  const Case cases[] = {
      {L"", false, L"", L""},
      {L"TVLMailShellSender", false, L"", L""},
      {L"TVLMailSMTPClientSender;TVLMailMAPISender", false, L"TVLMailMAPISender", L""},
      {L"tvlmailsimplemapisender;TVLMailMAPISender", false, L"TVLMailSimpleMAPISender", L""},
      {L"TVLMailSMTPSender", false, L"TVLMailSMTPClientSender", L""},
      {L"TVLMailSMTPSender", true, L"TVLMailSMTPServerSender", L""},
      {L"TVLWebHTTPSender;TVLWebJIRASender;TVLMailSMTPServerSender", false, L"TVLMailSMTPServerSender",
       L"TVLWebJIRASender"},
  };
  for (const Case& c : cases) {
    TVarnelModuleOptions o;
    o.SetSenderClasses(c.senders);
    o.SetCustomFieldBool(L"_SMTPServerMode", c.server_mode);
    EXPECT_EQ(o.EMailSendMode(), c.mail) << testing::PrintToString(std::wstring(c.senders));
    EXPECT_EQ(o.WebSendMode(), c.web) << testing::PrintToString(std::wstring(c.senders));
  }
}

TEST_F(OptionsTest, SenderClassesAreInsertedAppendedAndRemoved) {
  TVarnelModuleOptions o;
  o.AddSenderClass(L"B");
  EXPECT_EQ(o.SenderClasses(), L"B");
  o.AddSenderClass(L"C", -1);
  o.AddSenderClass(L"A", 0);
  o.AddSenderClass(L"B", 2);
  EXPECT_EQ(o.SenderClasses(), L"A;B;B;C");
  o.RemoveSenderClass(L"B");
  EXPECT_EQ(o.SenderClasses(), L"A;B;C");
  o.RemoveSenderClass(L"Z");
  EXPECT_EQ(o.SenderClasses(), L"A;B;C");
}

TEST_F(OptionsTest, OverridesGiveTheSystemValuesUntilSet) {
  TVarnelModuleOptions o;
  EXPECT_EQ(o.OverrideCompanyName(), L"Org Ltd");
  EXPECT_EQ(o.OverrideComputerName(), L"HOST1");
  EXPECT_EQ(o.OverrideUserEMail(), L"me@host.test");
  EXPECT_EQ(o.OverrideUserFullName(), L"Owner Name");
  EXPECT_EQ(o.OverrideUserName(), L"user1");
  o.SetOverrideUserName(L"someone");
  EXPECT_EQ(o.OverrideUserName(), L"someone");
  EXPECT_EQ(o.GetCustomField(L"_OverrideUserName"), L"someone");
}

// --- private keys ----------------------------------------------------------------------------------------

TEST_F(OptionsTest, KeysBeginningWithAnUnderscoreAreKeptButNeverSaved) {
  TVarnelModuleOptions o;
  o.SetCustomFieldBool(L"_SMTPServerMode", true);
  o.SetOverrideCompanyName(L"Secret Co");
  o.SetOverrideUserEMail(L"hidden@x.test");
  o.SetCustomField(L"_", L"bare");
  o.SetCustomField(L"Visible", L"yes");
  EXPECT_TRUE(o.GetCustomFieldBool(L"_SMTPServerMode"));
  EXPECT_NE(o.ToString().find(L"_OverrideCompanyName="), std::wstring::npos);
  const std::string saved = AsString(o.SaveToStream(false, true));
  EXPECT_EQ(saved.find("_"), std::string::npos) << saved;
  EXPECT_NE(saved.find("Visible=\"yes\""), std::string::npos);
  const std::vector<std::uint8_t> ansi = o.SaveToStream(true, false);
  EXPECT_EQ(AsString(ansi).find("_"), std::string::npos);
}

// --- the memory filter's record --------------------------------------------------------------------------

TEST_F(OptionsTest, EachLeakOptionSetsItsOwnBitOfTheMemoryFilterRecord) {
  struct Bit {
    const wchar_t* key;
    int byte;
    int bit;
  };
  const Bit bits[] = {
      {L"loCatchLeaks", 0, 0},          {L"loGroupsSonLeaks", 0, 1},       {L"loHideRTLLeaks", 0, 2},
      {L"loFreeAllLeaks", 0, 3},        {L"loCatchLeaksExceptions", 0, 4}, {L"loEnableMMDebugMode", 0, 5},
      {L"loEmptyFreedMemory", 0, 6},    {L"loShareMM", 0, 7},              {L"loAttemptToUseSharedMM", 1, 0},
      {L"loResCatchLeaks", 1, 1},       {L"loResHideRTLLeaks", 1, 2},      {L"loOnlyUnderIDE", 1, 3},
      {L"loResOnlyUnderIDE", 1, 4},     {L"loOnlyUnderDebugger", 1, 5},    {L"loResOnlyUnderDebugger", 1, 6},
      {L"loAllowManualActivation", 1, 7}, {L"loResAllowManualOverride", 2, 0}, {L"loRAWTracing", 2, 1},
      {L"loResRAWStackTrace", 2, 2},
  };
  for (const Bit& b : bits) {
    TVarnelModuleOptions o;
    for (const Bit& other : bits) o.SetCustomField(other.key, other.key == b.key ? L"1" : L"0");
    const TMemoryFilterOptions record = o.MemoryFilterOptions();
    for (int i = 0; i < 16; ++i) {
      EXPECT_EQ(record.Bytes[i], i == b.byte ? (1 << b.bit) : 0) << testing::PrintToString(std::wstring(b.key))
                                                                 << " byte " << i;
    }
  }
}

TEST_F(OptionsTest, TheMemoryFilterRecordOfTheDefaultsAndOfThisLibrarysOptions) {
  TVarnelModuleOptions defaults;
  const TMemoryFilterOptions d = defaults.MemoryFilterOptions();
  // CatchLeaks, GroupsSon, HideRTL, CatchLeaksExceptions, EmptyFreedMemory;
  // ResHideRTL and the four "only under" switches.
  const std::uint8_t expected_defaults[16] = {0x57, 0x7C};
  EXPECT_EQ(std::vector<std::uint8_t>(d.Bytes, d.Bytes + 16),
            std::vector<std::uint8_t>(expected_defaults, expected_defaults + 16));

  TVarnelModuleOptions library(L"_zelvic.dll");
  library.LoadFromStream(test::ReadLibraryOptionsText(), 7007);
  const TMemoryFilterOptions m = library.MemoryFilterOptions();
  // loCatchLeaks=0, loEmptyFreedMemory=0, loEnableMMDebugMode=1, loShareMM=1.
  const std::uint8_t expected_library[16] = {0xB6, 0x7C};
  EXPECT_EQ(std::vector<std::uint8_t>(m.Bytes, m.Bytes + 16),
            std::vector<std::uint8_t>(expected_library, expected_library + 16));
}

// --- customised texts ------------------------------------------------------------------------------------------

TEST_F(OptionsTest, CustomisedTextsDefaultToTheBuiltInTexts) {
  TVarnelModuleOptions o;
  EXPECT_EQ(o.GetCustomizedTexts(mtDialog_Caption), L"Error occurred");
  EXPECT_EQ(o.GetCustomizedTexts(mtCallStack_Procedure), L"Procedure/Method");
  EXPECT_EQ(o.GetCustomizedTexts(mtModules_LastModified), L"Modified");
  EXPECT_EQ(o.GetCustomizedTexts(mtSend_AskSend),
            L"%s\r\n\r\nDo you want to send report to developers about this problem?");
  EXPECT_EQ(o.GetCustomizedTexts(mtException_AntiFreeze), L"The application seems to be frozen.");
}

TEST_F(OptionsTest, CustomisedTextsReadTheSingleAndTheMultiLineForm) {
  TVarnelModuleOptions o;
  o.Assign(std::vector<std::wstring>{
      L"VarnelLog Version=7007",
      L"mtDialog_Caption=\"Oops\"",
      L"Count mtLog_AppHeader=3",
      L"mtLog_AppHeader0=\"First line\"",
      L"mtLog_AppHeader1=",
      L"mtLog_AppHeader2=\"\"\"Third\"\"\"",
      L"mtLog_AppHeader=ignored while the multi-line form exists",
      L"Count mtLog_ExcHeader=0",
  });
  EXPECT_EQ(o.GetCustomizedTexts(mtDialog_Caption), L"Oops");
  EXPECT_EQ(o.GetCustomizedTexts(mtLog_AppHeader), L"First line\r\n\r\nThird");
  EXPECT_EQ(o.GetCustomizedTexts(mtLog_ExcHeader), L"");
  EXPECT_EQ(o.GetCustomizedTexts(mtLog_UserHeader), L"User");
}

TEST_F(OptionsTest, OptionTextsBeforeVersion500UseTheOldNamesOfTheSendTexts) {
  TVarnelModuleOptions o;
  o.Assign(std::vector<std::wstring>{L"VarnelLog Version=450", L"mtSMTPDialog_Caption=\"Old caption\"",
                                     L"mtSendDialog_Caption=\"New caption\"", L"mtSMTPDialog_Sending=\"Going\""});
  EXPECT_EQ(o.GetCustomizedTexts(mtSendDialog_Caption), L"Old caption");
  EXPECT_EQ(o.GetCustomizedTexts(mtSendDialog_Sending), L"Going");
  o.Assign(std::vector<std::wstring>{L"VarnelLog Version=7007", L"mtSMTPDialog_Caption=\"Old caption\"",
                                     L"mtSendDialog_Caption=\"New caption\""});
  EXPECT_EQ(o.GetCustomizedTexts(mtSendDialog_Caption), L"New caption");
}

TEST_F(OptionsTest, ASetTextIsWrittenBackBeforeTheStoreIsReadOrChanged) {
  TVarnelModuleOptions o;
  o.Assign(std::vector<std::wstring>{L"VarnelLog Version=7007", L"Count mtDialog_Caption=2",
                                     L"mtDialog_Caption0=a", L"mtDialog_Caption1=b"});
  o.SetCustomizedTexts(mtDialog_Caption, L"line 1\r\nline -- 2");
  EXPECT_TRUE(o.NeedUpdate());
  // A change of the store refreshes the texts; the set text survives it.
  o.MutableStorage().SetValue(L"Unrelated", L"1");
  EXPECT_FALSE(o.NeedUpdate());
  EXPECT_EQ(o.GetCustomizedTexts(mtDialog_Caption), L"line 1\r\nline -- 2");
  const std::wstring text = o.ToString();
  EXPECT_NE(text.find(L"mtDialog_Caption=\"line 1\\r\\nline \\d\\d 2\"\r\n"), std::wstring::npos) << text;
  EXPECT_EQ(text.find(L"Count mtDialog_Caption"), std::wstring::npos);

  TVarnelModuleOptions copy;
  o.SetCustomizedTexts(mtLog_NetHeader, L"Net");
  copy.Assign(o);
  EXPECT_EQ(copy.GetCustomizedTexts(mtLog_NetHeader), L"Net");
  EXPECT_EQ(copy.GetCustomizedTexts(mtDialog_Caption), L"line 1\r\nline -- 2");
}

TEST_F(OptionsTest, TextsPassTheTranslationAndExpansionHooks) {
  TVarnelModuleOptions o;
  OptionsHooks().Translate = [](const std::wstring& t) { return L"[" + t + L"]"; };
  OptionsHooks().ExpandVariables = [](const std::wstring& t) { return t + L"!"; };
  EXPECT_EQ(o.GetCustomizedTexts(mtLog_OSHeader), L"[Operating System]");
  EXPECT_EQ(o.GetCustomizedExpandedTexts(mtLog_OSHeader), L"[Operating System]!");
}

// --- assignment -----------------------------------------------------------------------------------------

TEST_F(OptionsTest, AssigningOptionsCopiesTheStoreTheActiveFlagAndAMissingModuleName) {
  TVarnelModuleOptions source(L"C:\\a\\source.dll");
  source.SetActivateVarnelLog(true);
  source.SetCustomField(L"_private", L"p");
  source.SetActive(false);
  TVarnelModuleOptions unnamed;
  unnamed.Assign(source);
  EXPECT_TRUE(unnamed.ActivateVarnelLog());
  EXPECT_EQ(unnamed.GetCustomField(L"_private"), L"p");
  EXPECT_FALSE(unnamed.Active());
  EXPECT_EQ(unnamed.ModuleName(), L"C:\\a\\source.dll");
  TVarnelModuleOptions named(L"C:\\b\\mine.dll");
  named.Assign(source);
  EXPECT_EQ(named.ModuleName(), L"C:\\b\\mine.dll");
  named.Assign(named);
  EXPECT_TRUE(named.ActivateVarnelLog());
  named.Assign(nullptr);
  EXPECT_FALSE(named.ActivateVarnelLog());
  EXPECT_TRUE(named.Active());
}

TEST_F(OptionsTest, DestroyingTellsTheListener) {
  int told = 0;
  {
    TVarnelModuleOptions o;
    o.DeleteNotify = [&](TVarnelModuleOptions&) { ++told; };
  }
  EXPECT_EQ(told, 1);
}

// --- the options text -------------------------------------------------------------------------------------------

TEST_F(OptionsTest, ThisLibrarysOptionsTextLoadsAndKeepsKeysNoAccessorReads) {
  const std::vector<std::uint8_t> text = test::ReadLibraryOptionsText();
  ASSERT_EQ(text.size(), 495u) << "inflated size of the options block";
  TVarnelModuleOptions o(L"_zelvic.dll");
  o.LoadFromStream(text, 7007);
  EXPECT_EQ(o.Version(), 7007);
  EXPECT_TRUE(o.ActivateVarnelLog());
  EXPECT_FALSE(o.CompatibilityMode());
  EXPECT_FALSE(o.loCatchLeaks());
  EXPECT_FALSE(o.loZeroFreedMemory());
  EXPECT_TRUE(o.loEnableMMDebugMode());
  EXPECT_TRUE(o.loShareMM());
  EXPECT_EQ(o.TextsCollection(), L"");
  // Reports kept across runs, and a repeated bug counted in its report.
  EXPECT_EQ(o.ErrorsNumberToSave(), 32);
  EXPECT_TRUE(o.loNoDuplicateErrors());
  EXPECT_EQ(o.GetCustomField(L"Encrypt Password"), L"");
  EXPECT_TRUE(o.MutableStorage().HasName(L"Encrypt Password"));
  EXPECT_EQ(o.GetCustomField(L"InjectOptions"), L"1");
  const std::string saved = AsString(o.SaveToStream(false, true));
  for (const char* line : {"atFixSafeCallException=1", "atWin32=1", "cfoReduceFileSize=0", "csoDoNotStoreProcNames=1",
                           "Encrypt Password=\"\"", "idVarnelLog=1", "idVarnelLogDetailed=1", "idMSClassic=1",
                           "idStepsToReproduce=1", "InjectCode=1", "InjectInfo=1", "InjectOptions=1",
                           "ProjectID=\"{", "TextsCollection=\"\"", "VarnelLog Version=7007"}) {
    EXPECT_NE(saved.find(line), std::string::npos) << line;
  }
}

TEST_F(OptionsTest, ATextWithoutByteOrderMarkFailsWithTheExactMessageAndLeavesDefaults) {
  TVarnelModuleOptions o(L"C:\\Program Files\\Host\\_zelvic.dll");
  o.SetActivateVarnelLog(true);
  try {
    o.LoadFromStream(Bytes("Activate=1\r\nVarnelLog Version=7007\r\nloShareMM=1"), 0);
    FAIL() << "no error";
  } catch (const ELoadOptionsError& e) {
    EXPECT_STREQ(e.ClassName(), L"ELoadOptionsError");
    EXPECT_EQ(e.Message(),
              L"VarnelLog options for module \"_zelvic.dll\" are damaged or have unsupported format:\r\n"
              L"Options format is invalid - no version token found");
  }
  EXPECT_FALSE(o.ActivateVarnelLog());
  EXPECT_FALSE(o.loShareMM());
  EXPECT_EQ(o.Version(), 7007);
  EXPECT_TRUE(o.NeedUpdate());
  EXPECT_EQ(o.GetCustomField(L"VarnelLog Version"), L"7007");

  TVarnelModuleOptions unnamed;
  try {
    unnamed.LoadFromStream(Bytes("Activate=1"), 0);
    FAIL() << "no error";
  } catch (const EOptionsError& e) {
    EXPECT_EQ(e.Message().substr(0, 40), L"VarnelLog options for module \"00000000\" ");
  }
}

TEST_F(OptionsTest, TheSameKeyTwiceIsKeptTwiceAndTheFirstIsRead) {
  TVarnelModuleOptions o;
  o.LoadFromStream(Utf8WithMark("VarnelLog Version=7007\r\nProxyPort=1\r\nProxyPort=2"), 7007);
  const TNameValueStorage& store = o.Storage();
  int seen = 0;
  for (std::size_t i = 0; i < store.Count(); ++i) seen += store.GetName(i) == L"ProxyPort";
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(o.ProxyPort(), 1);
}

TEST_F(OptionsTest, LoadingSkipsTheHeaderAndTrailerAndTakesEveryEncoding) {
  const std::string body =
      "junk=1\r\n[Exception Log]\r\nActivate=1\r\nSMTP Host=\"h\\d\\dx\"\r\nVarnelLog Last Line -->\r\nFreeze "
      "Timeout=5";
  TVarnelModuleOptions o;
  o.LoadFromStream(Utf8WithMark(body), 7007);
  EXPECT_TRUE(o.ActivateVarnelLog());
  EXPECT_EQ(o.SMTPHost(), L"h--x");
  EXPECT_EQ(o.FreezeTimeout(), 60);
  EXPECT_FALSE(o.MutableStorage().HasName(L"junk"));

  std::vector<std::uint8_t> le = {0xFF, 0xFE};
  std::vector<std::uint8_t> be = {0xFE, 0xFF};
  for (char c : std::string("Activate=1\nVarnelLog Version=7007")) {
    le.push_back(static_cast<std::uint8_t>(c));
    le.push_back(0);
    be.push_back(0);
    be.push_back(static_cast<std::uint8_t>(c));
  }
  for (const auto& bytes : {le, be}) {
    TVarnelModuleOptions u;
    u.LoadFromStream(bytes, 0);
    EXPECT_TRUE(u.ActivateVarnelLog());
    EXPECT_EQ(u.Version(), 7007);
  }
}

TEST_F(OptionsTest, AGivenVersionIsStoredWhenTheTextHasNone) {
  TVarnelModuleOptions o;
  o.LoadFromStream(Utf8WithMark("Activate=1"), 7005);
  EXPECT_EQ(o.Version(), 7005);
  EXPECT_FALSE(o.CompatibilityMode());
  o.LoadFromStream(Utf8WithMark("Activate=1\r\nVarnelLog Version=7001"), 7005);
  EXPECT_EQ(o.Version(), 7001);
}

TEST_F(OptionsTest, SavingWritesSortedUtf8WithMarkOrUtf16WithoutOne) {
  TVarnelModuleOptions o;
  o.MutableStorage().Clear();
  o.SetCustomField(L"zed", L"z");
  o.SetCustomField(L"Alpha", L"1");
  o.SetCustomField(L"beta", L"caf\u00E9");
  const std::vector<std::uint8_t> utf8 = o.SaveToStream(false, true);
  EXPECT_EQ(AsString(utf8), "\xEF\xBB\xBF" "Alpha=1\r\nbeta=\"caf\xC3\xA9\"\r\nVarnelLog Version=7007\r\nzed=\"z\"");
  const std::vector<std::uint8_t> utf16 = o.SaveToStream(false, false);
  ASSERT_GE(utf16.size(), 4u);
  EXPECT_EQ(utf16[0], 'A');
  EXPECT_EQ(utf16[1], 0);
  EXPECT_EQ(utf16.size(), (utf8.size() - 3 - 1) * 2);  // the e-acute is one UTF-16 unit, two UTF-8 bytes
  const std::string ansi = AsString(o.SaveToStream(true, false));
  EXPECT_EQ(ansi.substr(0, 9), "Alpha=1\r\n");
  EXPECT_EQ(ansi.substr(ansi.size() - 2), "\r\n");
}

TEST_F(OptionsTest, SavedTextLoadsBackToTheSameOptions) {
  TVarnelModuleOptions o(L"m.dll");
  o.SetActivateVarnelLog(true);
  o.SetEMailMessage(L"Line 1\r\nLine 2 -- \"x\" C:\\y");
  o.SetSendTimeout(0x80000001u);
  o.SetCustomizedTexts(mtDialog_Caption, L"Custom\r\nCaption");
  const std::vector<std::uint8_t> saved = o.SaveToStream(false, true);
  TVarnelModuleOptions back(L"m.dll");
  back.LoadFromStream(saved, 7007);
  EXPECT_TRUE(back.ActivateVarnelLog());
  EXPECT_EQ(back.EMailMessage(), L"Line 1\r\nLine 2 -- \"x\" C:\\y");
  EXPECT_EQ(back.SendTimeout(), 0x80000001u);
  EXPECT_EQ(back.GetCustomizedTexts(mtDialog_Caption), L"Custom\r\nCaption");
  EXPECT_EQ(back.ToString(), o.ToString());
}

TEST_F(OptionsTest, FilesHoldAHeaderLineAndLoadBack) {
  for (const bool ansi : {false, true}) {
    const std::wstring path = TempPath(ansi ? L"zelvic_options_ansi.txt" : L"zelvic_options_utf16.txt");
    TVarnelModuleOptions o;
    o.SetSMTPHost(L"mail.test");
    o.SetFreezeTimeout(9);
    o.SaveToFile(path, ansi);
    std::vector<std::uint8_t> bytes;
    if (std::FILE* f = _wfopen(path.c_str(), L"rb")) {
      int c = 0;
      while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<std::uint8_t>(c));
      std::fclose(f);
    }
    if (ansi) {
      EXPECT_EQ(AsString(bytes).substr(0, 17), "[Exception Log]\r\n");
    } else {
      ASSERT_GE(bytes.size(), 4u);
      EXPECT_EQ(bytes[0], 0xFF);
      EXPECT_EQ(bytes[1], 0xFE);
      EXPECT_EQ(bytes[2], '[');
      EXPECT_EQ(bytes[3], 0);
    }
    TVarnelModuleOptions back;
    back.LoadFromFile(path);
    EXPECT_EQ(back.SMTPHost(), L"mail.test") << ansi;
    EXPECT_EQ(back.FreezeTimeout(), 9) << ansi;
    _wremove(path.c_str());
  }
}

TEST_F(OptionsTest, AnExternalDebugFileCarriesTheOptionsAtItsOffset) {
  const std::wstring path = TempPath(L"zelvic_options.jdbg");
  std::vector<std::uint8_t> bytes = {'J', 'D', 'B', 'G', 0x5F, 0x1B, 20, 0, 0, 0};  // version 7007, offset 20
  bytes.resize(20, 0xCC);
  const auto text = Utf8WithMark("Activate=1\r\nProxyPort=99");
  bytes.insert(bytes.end(), text.begin(), text.end());
  if (std::FILE* f = _wfopen(path.c_str(), L"wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  TVarnelModuleOptions o;
  o.LoadFromFile(path);
  EXPECT_TRUE(o.ActivateVarnelLog());
  EXPECT_EQ(o.ProxyPort(), 99);
  EXPECT_EQ(o.Version(), 7007);
  _wremove(path.c_str());
}

}  // namespace
}  // namespace zelvic::diag
