// The example pages' own scripts, run by the platform's JScript engine against
// the registered control, with a stand-in for the parts of the browser they use
// (page_in_script_host.js): what each page shows in Internet Explorer 11, in a
// browser without ActiveX, and where the control cannot be created. The page
// library's route through the control is run the same way (library_page.html).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "reference_identifier.h"
#include "script_output.h"
#include "talvenor_client.h"
#include "wine_machine.h"

namespace {

using Values = std::map<std::string, std::string>;

Values ShowPageIn(const char* folder, const char* page, const char* browser) {
    return test_support::RunScriptHost(std::string("cscript.exe //nologo \"") +
                                       TALVENOR_PAGE_HARNESS + "\" \"" + folder + "\\" + page +
                                       "\" " + browser);
}

Values ShowPage(const char* page, const char* browser) {
    return ShowPageIn(TALVENOR_EXAMPLES_DIR, page, browser);
}

class ExamplePages : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        registration_ = std::make_unique<test_support::RegisteredDll>();
        ASSERT_TRUE(registration_->registered());
    }
    static void TearDownTestSuite() {
        registration_.reset();
        test_support::DeleteTokenKeys();
    }
    void SetUp() override { test_support::DeleteTokenKeys(); }

  private:
    static std::unique_ptr<test_support::RegisteredDll> registration_;
};

std::unique_ptr<test_support::RegisteredDll> ExamplePages::registration_;

// Internet Explorer 11 hides ActiveXObject from typeof and from window's
// property, yet creates controls: the page must show the control's values.
TEST_F(ExamplePages, ExamplePageShowsTheControlsValuesInInternetExplorer11) {
    Values shown = ShowPage("talvenor.html", "ie11");
    ASSERT_EQ(shown["end"], "ok") << shown["output"];
    // The page's salt, with the tokens its getID stored.
    const std::string salt = "intranet.example";
    EXPECT_EQ(shown["salt.text"], salt);
    EXPECT_EQ(shown["getID.text"], test_support::ExpectedIdentifierForStoredTokens(salt));
    EXPECT_EQ(shown["getID.text"].size(), 74u);
    EXPECT_EQ(shown["ComputerName.text"], test_support::ThisComputerName());
    EXPECT_EQ(shown["TestInstallation.text"], "installed (1)");
    EXPECT_EQ(shown["Version.text"], "1.0.0.4");
    EXPECT_EQ(shown["status.display"], "none");
    EXPECT_EQ(shown["values.display"], "");
}

// What each page says, by the start of its status text.
TEST_F(ExamplePages, EachPageSaysWhatTheBrowserCanDo) {
    const struct {
        const char* page;
        const char* browser;
        const char* status;
        const char* className;
    } kCases[] = {
        {"talvenor.html", "no-activex",
         "This browser has neither the ieTalvenor control nor the ieTalvenor extension. "
         "(extension-not-installed)",
         "problem"},
        {"talvenor.html", "blocked",
         "The ieTalvenor control is not installed, or this site is not allowed to use it",
         "problem"},
        {"install.html", "ie11", "The ieTalvenor control is installed, version 1.0.0.4.", ""},
        {"install.html", "no-activex", "This browser cannot install or run ActiveX controls",
         "problem"},
        {"install.html", "blocked", "The ieTalvenor control is not installed: accept", "problem"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.page) + " in " + c.browser);
        Values shown = ShowPage(c.page, c.browser);
        ASSERT_EQ(shown["end"], "ok") << shown["output"];
        EXPECT_EQ(shown["status.text"].rfind(c.status, 0), 0u) << shown["status.text"];
        EXPECT_EQ(shown["status.className"], c.className);
        EXPECT_EQ(shown.count("getID.text"), 0u) << "no values without the control";
    }
}

// The library's one call in Internet Explorer 11: the control's values for each
// salt, the salts the control refuses without an identifier, and the errors a
// page can act on, with a callback since the browser has no Promise.
TEST_F(ExamplePages, PageLibraryGivesTheControlsValuesInInternetExplorer11) {
    Values shown = ShowPageIn(TALVENOR_TEST_PAGES_DIR, "library_page.html", "ie11");
    ASSERT_EQ(shown["end"], "ok") << shown["output"];
    const auto values = [](const std::string& identifier) {
        return "values " + identifier + "|" + test_support::ThisComputerName() + "|1|1.0.0.4";
    };
    const auto expected = test_support::ExpectedIdentifierForStoredTokens;
    const struct {
        const char* element;
        std::string text;
    } kCalls[] = {
        {"plain", values(expected("abc"))},
        {"withOptions", values(expected("abc"))},
        {"nullInside", values(expected("ab"))},
        {"empty", values("null")},
        {"long256", values("null")},
        {"above00FF", values("null")},
        {"number", "error bad-request: The salt must be a string."},
        {"withoutCallback",
         "threw: Talvenor.getValues: this browser has no Promise; pass a callback"},
    };
    for (const auto& call : kCalls) {
        EXPECT_EQ(shown[std::string(call.element) + ".text"], call.text) << call.element;
    }
    EXPECT_EQ(expected("abc").size(), 74u);
}

// Where neither route can answer, every call with a salt gets the route's
// error code; a salt that is no string is refused first.
TEST_F(ExamplePages, PageLibraryReportsWhyNoRouteAnswers) {
    const struct {
        const char* browser;
        const char* error;
    } kBrowsers[] = {
        {"blocked",
         "error control-not-installed: The ieTalvenor control is not installed, or this "
         "site is not allowed to use it"},
        {"no-activex",
         "error extension-not-installed: This browser has neither the ieTalvenor "
         "control nor the ieTalvenor extension."},
    };
    for (const auto& browser : kBrowsers) {
        SCOPED_TRACE(browser.browser);
        Values shown = ShowPageIn(TALVENOR_TEST_PAGES_DIR, "library_page.html", browser.browser);
        ASSERT_EQ(shown["end"], "ok") << shown["output"];
        for (const char* element : {"plain", "withOptions", "nullInside", "empty", "long256"}) {
            const std::string text = shown[std::string(element) + ".text"];
            EXPECT_EQ(text.rfind(browser.error, 0), 0u) << element << ": " << text;
        }
        EXPECT_EQ(shown["number.text"], "error bad-request: The salt must be a string.");
    }
}

}  // namespace
