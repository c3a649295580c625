#include "routes.hpp"

#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

#include "file_download.hpp"
#include "refusal.hpp"
#include "request_log.hpp"
#include "safe_names.hpp"
#include "upload_receiver.hpp"

namespace devserver {

namespace {

void answer(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text, "text/plain; charset=utf-8");
    if (status >= 400) request_notes().note = text;
}

// The path's components after the leading "/"; empty when it has none.
std::vector<std::string> components(const std::string& path) {
    if (path.empty() || path.front() != '/') return {};
    return split_slash(std::string_view(path).substr(1));
}

bool is_channel_url(const std::vector<std::string>& c) {
    return c.size() == 3 && c[0] == "auth" && c[2].empty();
}

// True when a component could leave its folder; a final empty one (a trailing
// "/") is allowed, as in "/auth/<key>/".
bool has_unsafe_component(const std::vector<std::string>& c) {
    for (size_t i = 0; i < c.size(); ++i) {
        if (c[i].empty() && i + 1 == c.size()) continue;
        if (!safe_component(c[i])) return true;
    }
    return false;
}

// Reads and drops the body, so the client gets the answer and not a reset.
// A multipart body must be read through the multipart form of the reader.
void drain(const httplib::Request& req, const httplib::ContentReader& reader) {
    auto drop = [](const char*, size_t) { return true; };
    if (req.is_multipart_form_data())
        reader([](const httplib::MultipartFormData&) { return true; }, drop);
    else
        reader(drop);
}

}  // namespace

void route_get(ChannelStore& store, const httplib::Request& req, httplib::Response& res) {
    std::vector<std::string> c = components(req.path);
    if (has_unsafe_component(c)) return answer(res, 400, "refused: unsafe path");
    if (is_channel_url(c)) {
        auto held = store.published(c[1]);
        if (!held) return answer(res, 404, "nothing published for this channel");
        res.status = 200;
        res.set_content(*held, "application/json");
        return;
    }
    if (c.size() >= 4 && c[1] == "media" && c[2] == "update" && !c.back().empty()) {
        std::filesystem::path file = store.update_root(c[0]);
        for (size_t i = 3; i < c.size(); ++i) file /= std::filesystem::u8path(c[i]);
        serve_file(file, req, res);
        if (res.status == 404) request_notes().note = "not found";
        return;
    }
    answer(res, 404, "not found");
}

void route_post(ChannelStore& store, const std::optional<std::string>& code, const httplib::Request& req,
                httplib::Response& res, const httplib::ContentReader& reader) {
    std::vector<std::string> c = components(req.path);
    if (has_unsafe_component(c)) {
        drain(req, reader);
        return answer(res, 400, "refused: unsafe path");
    }
    if (!is_channel_url(c)) {
        drain(req, reader);
        return answer(res, 404, "uploads go to /auth/<key>/");
    }
    const std::string key = c[1];
    std::lock_guard<std::mutex> one_upload(store.upload_lock(key));
    struct Cleanup {
        const ChannelStore& store;
        const std::string& key;
        ~Cleanup() { store.clean_staging(key); }
    } cleanup{store, key};

    ReceivedBatch got = receive_batch(req, reader, store.staging_dir(key), code);
    if (got.refusal_status) return answer(res, *got.refusal_status, "refused: " + got.refusal);
    try {
        CommitResult done = store.commit(key, got.batch);
        res.status = 201;
        res.set_content(nlohmann::json{{"stored", done.stored}, {"published", done.published}}.dump(),
                        "application/json");
        request_notes().note = "files=" + std::to_string(done.stored) + (got.batch.manifest_name ? " manifest" : "") +
                               (done.published ? " published" : "");
    } catch (const Refusal& r) {
        answer(res, r.status, std::string("refused: ") + r.what());
    } catch (const std::exception& e) {
        answer(res, 500, std::string("cannot store the upload: ") + e.what());
    }
}

}  // namespace devserver
