// The read-only JSON API under /api/v1: devices, values, alarms, events,
// history and the event stream.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <memory>
#include <mutex>
#include <string>

#include "runtime/store/StoreReader.h"
#include "service/Component.h"

namespace smd::service {

struct HttpRequest;
struct HttpResponse;

// A time of a query: "2026-12-08T06:15:05+01:00", "...Z", "2026-12-08 06:15:05"
// or "2026-12-08T06:15" (local), "2026-12-08" (local midnight). Times with an
// offset become local time, as the store keeps them. Times outside the years
// kFirstYear to kLastYear (local time) are refused with the range in `error`.
constexpr int kFirstYear = 1970, kLastYear = 9999;
bool parse_query_time(const std::string& text, boost::posix_time::ptime& local, std::string& error);

class Api : public Component {
  public:
    // Registers its routes on ctx.http, which must be set.
    explicit Api(Context& ctx);
    void SiteReloaded(const SiteConfig& site) override;

    static constexpr std::size_t kHistoryPage = 500, kHistoryMax = 5000;
    static constexpr std::size_t kEventsPage = 1000, kEventsMax = 10000;

  private:
    // The routes, each under /api/v1/ by its name (the table in the constructor).
    void ServeVocabulary(const HttpRequest& req, HttpResponse& res);
    void ServeDevices(const HttpRequest& req, HttpResponse& res);
    void ServeValues(const HttpRequest& req, HttpResponse& res);
    void ServeAlarms(const HttpRequest& req, HttpResponse& res);
    void ServeEvents(const HttpRequest& req, HttpResponse& res);
    void ServeHistory(const HttpRequest& req, HttpResponse& res);
    void ServeStream(const HttpRequest& req, HttpResponse& res);

    // The database reader, opened at first use; null without a database.
    StoreReader* Reader(std::string& error);

    Host& host_;
    SiteView& view_;
    HttpServer& http_;
    mutable std::mutex site_mutex_;
    SiteConfig site_;  // under site_mutex_ (a reload replaces it)
    std::mutex reader_mutex_;
    std::unique_ptr<StoreReader> reader_;
};

}  // namespace smd::service
