#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <functional>
#include <regex>
#include <thread>

#include "mime/NUCMimeTypes.h"
#include "multipart/NUCStreamingMultipartFormData.h"
#include "multipart/NUCURLRequestMultipartGenerator.h"
#include "platform/foundation/VxDispatch.h"
#include "platform/linux/VxURLSession.h"
#include "requests/NUCRestKit.h"
#include "support/RequestHelpers.h"
#include "support/TestEnv.h"

namespace {

using da::test::drain;
using da::test::failure;
using da::test::header;

NUCURLRequestMultipartGeneratorPtr makeGenerator(const char* boundary = "B") {
    auto g = NUCURLRequestMultipartGenerator::generator();
    g->setBaseURLPath(vxstr("http://h.example/api"));
    g->setPartBoundary(vxstr(boundary));
    return g;
}

// Three parts: a form field, a byte buffer sent as a file and a local file.
void appendThreeParts(NUCMultipartFormData& form, const VxURLPtr& file) {
    EXPECT_TRUE(
        form.appendPartWithFormData(VxData::dataWithString("v"), vxstr("field"), nullptr, nullptr));
    EXPECT_TRUE(form.appendPartWithFileData(VxData::dataWithString("<data>"), vxstr("blob"),
                                            vxstr("b.bin"), nullptr, vxstr("application/x-b")));
    EXPECT_TRUE(form.appendPartWithFileURL(file, vxstr("doc"), nullptr));
}

}  // namespace

TEST(FormData, BoundaryAndRefusedMethods) {
    auto a = NUCURLRequestMultipartGenerator::generator();
    auto b = NUCURLRequestMultipartGenerator::generator();
    const std::regex pattern("NUC_Streaming_[0-9A-F]{8}_Multipart_Form_Data_Boundary_[0-9A-F]{8}");
    EXPECT_TRUE(std::regex_match(a->partBoundary()->str(), pattern)) << a->partBoundary()->str();
    EXPECT_NE(a->partBoundary()->str(), b->partBoundary()->str());
    auto copy = vx_cast<NUCURLRequestMultipartGenerator>(a->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->partBoundary()->str(), a->partBoundary()->str());

    auto g = makeGenerator();
    for (const char* method : {"get", "gEt", "HEAD", "delete", ""}) {
        VxErrorPtr error = VxError::errorWithDomain("stale", 1);
        bool called = false;
        EXPECT_FALSE(g->multipartFormRequestWithMethod(vxstr(method), vxstr("up"), nullptr, &error,
                                                       [&](auto&) { called = true; }));
        EXPECT_EQ(error, nullptr) << method;
        EXPECT_FALSE(called) << method;
    }
}

TEST(FormData, EmptyBodyAndOneField) {
    auto g = makeGenerator();
    VxErrorPtr error;
    auto plain = g->multipartFormRequestWithMethod(vxstr("post"), vxstr("up"), nullptr, &error,
                                                   [](auto&) {});
    ASSERT_TRUE(plain) << failure(error);
    EXPECT_FALSE(plain->HTTPBodyStream());
    EXPECT_EQ(header(plain, "Content-Type"), "<none>");

    // One field, from a generator that no shared pointer owns.
    NUCURLRequestMultipartGenerator onStack;
    onStack.setPartBoundary(vxstr("S"));
    auto one = onStack.multipartFormRequestWithMethod(
        vxstr("PUT"), VxURL::URLWithString("http://h.example/x"), nullptr, &error,
        [](const std::shared_ptr<NUCMultipartFormData>& form) {
            EXPECT_TRUE(form->appendPartWithFormData(VxData::dataWithString("1"), vxstr("a"),
                                                     nullptr, nullptr));
        });
    ASSERT_TRUE(one) << failure(error);
    EXPECT_EQ(header(one, "Content-Type"), "multipart/form-data; boundary=S");
    const std::string expected =
        "--S\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--S--\r\n";
    EXPECT_EQ(header(one, "Content-Length"), std::to_string(expected.size()));
    ASSERT_TRUE(one->HTTPBodyStream());
    EXPECT_EQ(drain(one->HTTPBodyStream()), expected);
}

TEST(FormData, AppendRefusalsLeaveTheBodyAsItWas) {
    da::test::TempDir tmp;
    auto file = VxURL::fileURLWithPath(tmp.write("report.txt", "abc"));
    auto jpg = VxURL::fileURLWithPath(tmp.write("photo.JPG", "\xFF\xD8"));
    auto bare = VxURL::fileURLWithPath(tmp.write("noext", "x"));
    auto empty = VxURL::fileURLWithPath(tmp.write("empty.txt", ""));
    auto g = makeGenerator();
    std::shared_ptr<NUCStreamingMultipartFormData> builder;
    auto request = g->multipartFormRequestWithMethod(
        vxstr("POST"), vxstr("up"), nullptr, nullptr,
        [&](const std::shared_ptr<NUCMultipartFormData>& form) {
            builder = std::dynamic_pointer_cast<NUCStreamingMultipartFormData>(form);
            ASSERT_TRUE(builder);
            VxErrorPtr error;
            auto expectRefusal = [&](bool ok, const std::string& message) {
                EXPECT_FALSE(ok);
                EXPECT_EQ(failure(error), message);
                EXPECT_TRUE(builder->bodyStream()->isEmpty());
            };
            expectRefusal(form->appendPartWithFileURL(file, vxstr("f"), nullptr, nullptr,
                                                      vxstr("text/plain"), &error),
                          "-1001 Either name or contentDisposition must be non-nil");
            expectRefusal(form->appendPartWithFileURL(file, vxstr("f"), vxstr("r.txt"), nullptr,
                                                      vxstr(""), &error),
                          "-1001 mimeType must be non-nil");
            expectRefusal(form->appendPartWithInputStream(nullptr, vxstr("s"), vxstr("s.bin"),
                                                          nullptr, 1, vxstr("a/b"), &error),
                          "-1001 InputStream must be non-nil");
            expectRefusal(form->appendPartWithFileData(nullptr, vxstr("d"), vxstr("d.bin"), nullptr,
                                                       vxstr("a/b"), &error),
                          "-1001 Data must be non-nil");
            expectRefusal(form->appendPartWithFormData(VxData::dataWithString("v"), nullptr,
                                                       vxstr(""), nullptr, &error),
                          "-1001 Either name or contentDisposition must be non-nil");
            expectRefusal(form->appendPartWithFileURL(empty, vxstr("e"), nullptr, &error),
                          "-1007 " + empty->path() + " has zero length");
            EXPECT_EQ(error->domain(), NUCRestKitErrorDomain);

            // The one-file-URL form takes the file name from the URL and the type
            // from the extension, whatever its letter case.
            EXPECT_TRUE(form->appendPartWithFileURL(file, vxstr("f"), nullptr, &error));
            EXPECT_EQ(error, nullptr);
            EXPECT_TRUE(form->appendPartWithFileURL(jpg, vxstr("p"), nullptr));
            EXPECT_TRUE(form->appendPartWithFileURL(bare, nullptr, vxstr("form-data; name=\"n\"")));
            EXPECT_TRUE(form->appendPartWithInputStream(
                VxInputStream::inputStreamWithData(VxData::dataWithString("xyz")), vxstr("s"),
                vxstr("s.bin"), nullptr, 3, vxstr("a/b")));
            form->setPacketSize(64, 0);
        });
    ASSERT_TRUE(request && builder);
    EXPECT_EQ(builder->bodyStream()->numberOfBytesInPacket(), 64u);
    const auto& parts = builder->bodyStream()->bodyPartArray();
    ASSERT_EQ(parts.size(), 4u);
    auto partHeader = [&](std::size_t i, const char* name) {
        return vx::textOf(parts[i]->headers()->objectForKey(name));
    };
    EXPECT_EQ(partHeader(0, "Content-Disposition"),
              "form-data; name=\"f\"; filename=\"report.txt\"");
    EXPECT_EQ(partHeader(1, "Content-Type"),
              NUCMimeTypes::mimeTypeForFileExtension(vxstr("jpg"))->str());
    EXPECT_EQ(partHeader(2, "Content-Type"), "application/octet-stream");
    EXPECT_EQ(partHeader(2, "Content-Disposition"), "form-data; name=\"n\"");
    const std::string body = drain(request->HTTPBodyStream());
    EXPECT_EQ(header(request, "Content-Length"), std::to_string(body.size()));
    EXPECT_NE(body.find("\r\n\r\nabc\r\n--B\r\n"), std::string::npos);
    EXPECT_NE(body.find("\r\n\r\nxyz\r\n--B--\r\n"), std::string::npos);
}

// A name, file name, disposition or type with CR, LF or NUL would write header
// lines of the caller's choosing into the body: every append refuses it.
TEST(FormData, LineBreaksInPartHeadersAreRefused) {
    da::test::TempDir tmp;
    auto file = VxURL::fileURLWithPath(tmp.write("a.txt", "abc"));
    auto broken = VxURL::fileURLWithPath(tmp.write("b\r\nX-Injected: 1.txt", "abc"));
    const std::string refused = "-1001 Part headers must not contain CR, LF or NUL characters";
    auto g = makeGenerator();
    auto request = g->multipartFormRequestWithMethod(
        vxstr("POST"), vxstr("up"), nullptr, nullptr,
        [&](const std::shared_ptr<NUCMultipartFormData>& form) {
            auto data = VxData::dataWithString("v");
            auto stream = [] { return VxInputStream::inputStreamWithData(VxData::data()); };
            const std::string nul("x\0y", 3);
            const struct {
                const char* what;
                std::function<bool(VxErrorPtr*)> append;
            } cases[] = {
                {"name LF",
                 [&](VxErrorPtr* e) {
                     return form->appendPartWithFormData(data, vxstr("x\"\nX-Injected: 1"), nullptr,
                                                         nullptr, e);
                 }},
                {"name CR",
                 [&](VxErrorPtr* e) {
                     return form->appendPartWithFileData(data, vxstr("x\r"), vxstr("f"), nullptr,
                                                         vxstr("a/b"), e);
                 }},
                {"file name",
                 [&](VxErrorPtr* e) {
                     return form->appendPartWithInputStream(
                         stream(), vxstr("n"), vxstr("f\r\nX: 1"), nullptr, 0, vxstr("a/b"), e);
                 }},
                {"file name from URL",
                 [&](VxErrorPtr* e) {
                     return form->appendPartWithFileURL(broken, vxstr("n"), nullptr, e);
                 }},
                {"disposition NUL",
                 [&](VxErrorPtr* e) {
                     return form->appendPartWithFileURL(file, nullptr, vxstr(nul), e);
                 }},
                {"type",
                 [&](VxErrorPtr* e) {
                     return form->appendPartWithFileURL(file, vxstr("n"), vxstr("f"), nullptr,
                                                        vxstr("text/plain\r\nX: 1"), e);
                 }},
            };
            for (const auto& c : cases) {
                VxErrorPtr error;
                EXPECT_FALSE(c.append(&error)) << c.what;
                EXPECT_EQ(failure(error), refused) << c.what;
            }
            // The builder stays usable.
            EXPECT_TRUE(form->appendPartWithFormData(data, vxstr("ok"), nullptr, nullptr));
        });
    ASSERT_TRUE(request);
    EXPECT_EQ(drain(request->HTTPBodyStream()),
              "--B\r\nContent-Disposition: form-data; name=\"ok\"\r\n\r\nv\r\n--B--\r\n");
}

TEST(FormData, WritesTheBodyToAFile) {
    da::test::TempDir tmp;
    auto file = VxURL::fileURLWithPath(tmp.write("doc.txt", std::string(3000, 'd')));
    auto g = makeGenerator("Bnd");
    auto build = [&] {
        return g->multipartFormRequestWithMethod(
            vxstr("POST"), vxstr("up"), nullptr, nullptr,
            [&](const std::shared_ptr<NUCMultipartFormData>& form) {
                appendThreeParts(*form, file);
            });
    };
    const std::string expected = drain(build()->HTTPBodyStream());

    auto request = build();
    ASSERT_TRUE(request && request->HTTPBodyStream());
    VxSemaphore done;
    VxErrorPtr outcome = VxError::errorWithDomain("unset", 1);
    std::atomic<bool> onMain{false};
    const std::string target = tmp.write("body.out", "old content that is longer than nothing");
    auto detached = g->requestWithMultipartFormRequest(request, VxURL::fileURLWithPath(target),
                                                       [&](const VxErrorPtr& e) {
                                                           outcome = e;
                                                           onMain = VxIsMainThread();
                                                           done.signal();
                                                       });
    ASSERT_TRUE(detached);
    EXPECT_FALSE(detached->HTTPBodyStream());
    EXPECT_EQ(header(detached, "Content-Type"), "multipart/form-data; boundary=Bnd");
    EXPECT_EQ(header(detached, "Content-Length"), std::to_string(expected.size()));
    ASSERT_TRUE(done.wait(30));
    EXPECT_EQ(outcome, nullptr) << vxDescription(outcome);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(da::test::readFile(target), expected);

    // A file that cannot be created is reported through the handler.
    VxSemaphore failed;
    g->requestWithMultipartFormRequest(build(), VxURL::fileURLWithPath(tmp / "no/dir/x"),
                                       [&](const VxErrorPtr& e) {
                                           outcome = e;
                                           failed.signal();
                                       });
    ASSERT_TRUE(failed.wait(30));
    EXPECT_NE(outcome, nullptr);

    // Without body stream: a copy, and the handler is never called.
    bool called = false;
    auto bare = VxMutableURLRequest::requestWithURL(VxURL::URLWithString("http://h/"));
    auto copy = g->requestWithMultipartFormRequest(bare, VxURL::fileURLWithPath(target),
                                                   [&](const VxErrorPtr&) { called = true; });
    ASSERT_TRUE(copy);
    EXPECT_NE(copy, bare);
    VxDispatchQueue::globalQueue().sync([] {});
    VxDispatchQueue::mainQueue().sync([] {});
    EXPECT_FALSE(called);
}

TEST(FormData, LoopbackServerParsesTheUpload) {
    da::test::TempDir tmp;
    auto file = VxURL::fileURLWithPath(tmp.write("doc.txt", "file body"));
    httplib::Server server;
    server.set_keep_alive_max_count(1);  // close after the reply, so stop() returns at once
    std::string field, blob, blobName, doc, docType;
    server.Post("/up", [&](const httplib::Request& req, httplib::Response& res) {
        field = req.get_file_value("field").content;
        blob = req.get_file_value("blob").content;
        blobName = req.get_file_value("blob").filename;
        doc = req.get_file_value("doc").content;
        docType = req.get_file_value("doc").content_type;
        res.set_content("ok", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    for (int i = 0; i < 500 && !server.is_running(); ++i) VxSleepForTimeInterval(0.01);

    auto g = NUCURLRequestMultipartGenerator::generator();
    g->setBaseURLPath(vxstr("http://127.0.0.1:" + std::to_string(port)));
    g->setTimeoutInterval(10);
    auto request = g->multipartFormRequestWithMethod(
        vxstr("POST"), vxstr("up"), nullptr, nullptr,
        [&](const std::shared_ptr<NUCMultipartFormData>& form) { appendThreeParts(*form, file); });
    ASSERT_TRUE(request);
    VxURLResponsePtr response;
    VxErrorPtr error;
    VxURLSession::sendSynchronousRequest(request, &response, &error);
    server.stop();
    serving.join();
    ASSERT_EQ(error, nullptr) << vxDescription(error);
    auto http = vx_cast<VxHTTPURLResponse>(response);
    ASSERT_TRUE(http);
    EXPECT_EQ(http->statusCode(), 200);
    EXPECT_EQ(field, "v");
    EXPECT_EQ(blob, "<data>");
    EXPECT_EQ(blobName, "b.bin");
    EXPECT_EQ(doc, "file body");
    EXPECT_EQ(docType, "text/plain");
}
