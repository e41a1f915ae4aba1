#include "service/web/WebFiles.h"

#include "service/http/HttpServer.h"

namespace smd::web {

const StaticFile* Find(std::string_view path) {
    if (path == "/") path = "/index.html";
    for (const auto& f : Files()) {
        if (f.path == path) return &f;
    }
    return nullptr;
}

const char* ContentType(std::string_view path) {
    auto ends = [&](std::string_view ext) {
        return path.size() >= ext.size() && path.substr(path.size() - ext.size()) == ext;
    };
    if (ends(".html") || path == "/") return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

std::unique_ptr<service::Component> MakeWeb(service::Context& ctx, std::string&) {
    if (!ctx.http) return nullptr;
    auto serve = [](const service::HttpRequest& req, service::HttpResponse& res) {
        const StaticFile* f = Find(req.path);
        if (!f) return service::SetError(res, 404, "no such resource: " + req.path);
        // Small files that change only with the daemon: always revalidated.
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                       "frame-ancestors 'none'");
        res.set_content(std::string(f->body), ContentType(req.path));
    };
    ctx.http->Get("/", serve);
    ctx.http->AllowWithoutToken("/");
    for (const auto& f : Files()) {
        ctx.http->Get(std::string(f.path), serve);
        ctx.http->AllowWithoutToken(std::string(f.path));
    }
    ctx.http->AllowTokenParameter("/api/v1/stream");
    return std::make_unique<service::Component>();
}

}  // namespace smd::web
