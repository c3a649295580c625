// What the administration operations need from Django, as a plain C++
// interface; the binding layer (src/python/host_admin_django.cpp) implements it
// with the running interpreter. Errors raised by Django come back as exceptions
// that carry the Python error (error_text / kind_name name them).
#pragma once

#include <memory>
#include <string>
#include <utility>

namespace tarvik::admin {

// One row of the project's user model, as loaded.
class UserAccount {
public:
    virtual ~UserAccount() = default;
    virtual void set_password(const std::string& raw_password) = 0;  // hashed in memory
    virtual void set_flag(const std::string& field, bool value) = 0;  // is_active, is_staff, ...
    virtual void save() = 0;
};

// The result of objects.filter(...).
class UserQuery {
public:
    virtual ~UserQuery() = default;
    virtual bool exists() = 0;
    virtual std::unique_ptr<UserAccount> first() = 0;  // null when the set is empty
};

// The manager of the project's user model (get_user_model().objects).
class UserManager {
public:
    virtual ~UserManager() = default;
    // objects.get(username=..., is_superuser=...): fails unless exactly one matches.
    virtual std::unique_ptr<UserAccount> get(const std::string& username, bool is_superuser) = 0;
    // objects.update_or_create(email=..., username=...) -> (account, created).
    virtual std::pair<std::unique_ptr<UserAccount>, bool> update_or_create(const std::string& email,
                                                                           const std::string& username) = 0;
    // objects.filter(username=..., is_superuser=...).
    virtual std::unique_ptr<UserQuery> filter(const std::string& username, bool is_superuser) = 0;
};

class Django {
public:
    virtual ~Django() = default;
    // django.setup(): configures Django from DJANGO_SETTINGS_MODULE.
    virtual void setup() = 0;
    // django.core.management.call_command(name) with no further arguments.
    virtual void call_command(const std::string& name) = 0;
    // get_user_model().objects; only after setup().
    virtual std::unique_ptr<UserManager> user_manager() = 0;
};

// The Django of this process, provided by the binding layer.
Django& django();

}  // namespace tarvik::admin
