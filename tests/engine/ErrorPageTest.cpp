#include <gtest/gtest.h>

#include <fstream>

#include "proxy/engine/ErrorPage.h"
#include "proxy/engine/ProxyHandlerError.h"
#include "proxy/engine/RemoteConnectionErrors.h"
#include "proxy/io/Data.h"
#include "proxy/io/SocketError.h"
#include "tests/support/TestSupport.h"
#include "tests/support/proxy/BlockError.h"

using namespace pemtrox;

namespace {

class ErrorPageDirectory {
public:
    explicit ErrorPageDirectory(std::optional<std::filesystem::path> dir) {
        ErrorPage::setDirectory(std::move(dir));
    }
    ~ErrorPageDirectory() { ErrorPage::setDirectory(std::nullopt); }
};

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

TEST(ErrorPage, RenderEscapesClientTextAndFindsPlaceholdersOnlyInTheTemplate) {
    struct Case {
        const char* templateText;
        const char* title;
        const char* message;
        const char* expected;
    } cases[] = {
        {"<h1>{title}</h1><p>{message}</p>", "T", "M", "<h1>T</h1><p>M</p>"},
        {"no placeholders <b>", "<x>", "&", "no placeholders <b>"},
        {"{title}{title}|{message}{message}", "a", "b", "aa|bb"},
        {"{message}", "<script>alert('x')</script>", "Unsupported scheme: <img src=x onerror=\"y\">&",
         "Unsupported scheme: &lt;img src=x onerror=&quot;y&quot;&gt;&amp;"},
        {"{title}|{message}", "{message}", "{title}", "{message}|{title}"},
        {"{ti{title}tle}{", "x", "y", "{tixtle}{"},
        {"", "x", "y", ""},
        {"{title}", "G\xC3\xBCltig \xE2\x82\xAC", "", "G\xC3\xBCltig \xE2\x82\xAC"},
    };
    for (auto& c : cases)
        EXPECT_EQ(ErrorPage::render(c.templateText, c.title, c.message), c.expected) << c.templateText;
}

TEST(ErrorPage, TemplateLoadingFallsBackToFixedTexts) {
    test::TempDir dir;
    ErrorPageDirectory guard(dir.path());
    EXPECT_EQ(ErrorPage::loadTemplate(), "Error template not found");

    writeFile(dir.path() / "error.html", "bad \xC3\x28 utf8");
    EXPECT_EQ(ErrorPage::loadTemplate(), "Failed to read a string value from the error template");

    writeFile(dir.path() / "error.html", "<p>{title}: {message}</p>");
    EXPECT_EQ(ErrorPage::loadTemplate(), "<p>{title}: {message}</p>");

    std::filesystem::remove(dir.path() / "error.html");
    std::filesystem::create_directory(dir.path() / "error.html");
    EXPECT_TRUE(ErrorPage::loadTemplate().starts_with("Failed to load error template: "));
}

TEST(ErrorPage, ShippedTemplateHasBothPlaceholders) {
    const char* source = std::getenv("PEMTROX_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    ErrorPageDirectory guard(std::filesystem::path(source) / "resources");
    auto text = ErrorPage::loadTemplate();
    EXPECT_NE(text.find("{title}"), std::string::npos);
    EXPECT_NE(text.find("{message}"), std::string::npos);
}

TEST(ErrorReply, ChoiceFollowsTheErrorsOwnInterfaces) {
    struct Case {
        ErrorPtr error;
        bool drop, serviceUnavailable;
        const char* title;
    } cases[] = {
        {makeError<GenericError>("boom"), false, true, "An error occurred"},
        {makeError<test::BlockError>(true, false), true, true, "Block List Tool"},
        {makeError<test::BlockError>(false, true), false, false, "Block List Tool"},
        {makeError<test::BlockError>(true, true), true, false, "Block List Tool"},
        // Another family's case of the same numbers chooses nothing.
        {makeError<SocketError>(SocketError::socketClosed()), false, true, "Socket Error"},
        {makeError<SocketError>(SocketError::connectionClosedByPeer()), false, true, "Socket Error"},
        {makeError<ProxyHandlerError>(ProxyHandlerError::unsupportedScheme("ftp")), false, true,
         "Proxy Server Error"},
        {makeError<RemoteConnectionErrors>(RemoteConnectionErrors::noHost()), false, true,
         "An error occurred"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.error->description());
        EXPECT_EQ(shouldDropConnection(c.error), c.drop);
        EXPECT_EQ(useServiceUnavailable(c.error), c.serviceUnavailable);
        EXPECT_EQ(reportingTitle(c.error), c.title);
    }
    EXPECT_FALSE(shouldDropConnection(nullptr));
}
