// Django for the administration operations (admin/django_host.hpp), reached
// through the running interpreter. Every method takes the interpreter lock.
#include "admin/django_host.hpp"

#include "python/bindings.hpp"

namespace tarvik::admin {

namespace {

// A Python object held by plain C++ code: released under the interpreter lock.
class PyRef {
public:
    explicit PyRef(nb::object o) : obj_(std::move(o)) {}
    ~PyRef() {
        nb::gil_scoped_acquire gil;
        obj_.reset();
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    const nb::object& get() const { return obj_; }

private:
    nb::object obj_;
};

nb::object import(const char* name) { return nb::module_::import_(name); }

class PyUserAccount final : public UserAccount {
public:
    explicit PyUserAccount(nb::object o) : account_(std::move(o)) {}
    void set_password(const std::string& raw) override {
        py::with_gil([&] { account_.get().attr("set_password")(raw); });
    }
    void set_flag(const std::string& field, bool value) override {
        py::with_gil([&] { nb::setattr(account_.get(), field.c_str(), nb::bool_(value)); });
    }
    void save() override {
        py::with_gil([&] { account_.get().attr("save")(); });
    }

private:
    PyRef account_;
};

class PyUserQuery final : public UserQuery {
public:
    explicit PyUserQuery(nb::object q) : query_(std::move(q)) {}
    bool exists() override {
        return py::with_gil([&] { return nb::cast<bool>(query_.get().attr("exists")()); });
    }
    std::unique_ptr<UserAccount> first() override {
        return py::with_gil([&]() -> std::unique_ptr<UserAccount> {
            nb::object row = query_.get().attr("first")();
            if (row.is_none()) return nullptr;
            return std::make_unique<PyUserAccount>(std::move(row));
        });
    }

private:
    PyRef query_;
};

class PyUserManager final : public UserManager {
public:
    explicit PyUserManager(nb::object m) : objects_(std::move(m)) {}

    std::unique_ptr<UserAccount> get(const std::string& username, bool is_superuser) override {
        return py::with_gil([&] {
            nb::object row = objects_.get().attr("get")(nb::arg("username") = username,
                                                        nb::arg("is_superuser") = is_superuser);
            return std::make_unique<PyUserAccount>(std::move(row));
        });
    }

    std::pair<std::unique_ptr<UserAccount>, bool> update_or_create(const std::string& email,
                                                                   const std::string& username) override {
        return py::with_gil([&]() -> std::pair<std::unique_ptr<UserAccount>, bool> {
            nb::object pair = objects_.get().attr("update_or_create")(nb::arg("email") = email,
                                                                      nb::arg("username") = username);
            nb::object row = pair[0];
            bool created = nb::cast<bool>(nb::bool_(pair[1]));
            return {std::make_unique<PyUserAccount>(std::move(row)), created};
        });
    }

    std::unique_ptr<UserQuery> filter(const std::string& username, bool is_superuser) override {
        return py::with_gil([&] {
            nb::object q = objects_.get().attr("filter")(nb::arg("username") = username,
                                                         nb::arg("is_superuser") = is_superuser);
            return std::make_unique<PyUserQuery>(std::move(q));
        });
    }

private:
    PyRef objects_;
};

class PyDjango final : public Django {
public:
    void setup() override {
        py::with_gil([&] { import("django").attr("setup")(); });
    }
    void call_command(const std::string& name) override {
        py::with_gil([&] { import("django.core.management").attr("call_command")(name); });
    }
    std::unique_ptr<UserManager> user_manager() override {
        return py::with_gil([&] {
            nb::object model = import("django.contrib.auth").attr("get_user_model")();
            return std::make_unique<PyUserManager>(model.attr("objects"));
        });
    }
};

PyDjango g_django;

}  // namespace

Django& django() { return g_django; }

}  // namespace tarvik::admin
