#include "admin/db_admin.hpp"

#include <exception>
#include <string>

#include "admin/django_host.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"

namespace tarvik::admin {

namespace {

std::unique_ptr<UserManager> start_django() {
    host().setdefault_env("DJANGO_SETTINGS_MODULE", SETTINGS_MODULE);
    django().setup();
    return django().user_manager();
}

}  // namespace

void migrate() {
    host().setdefault_env("DJANGO_SETTINGS_MODULE", SETTINGS_MODULE);
    host().setdefault_env("RUN_MAIN", "true");
    django().setup();
    try {
        django().call_command("migrate");
    } catch (const std::exception& e) {
        println("Error during migration: " + error_text(e));
    }
}

void init_admin() {
    std::unique_ptr<UserManager> users = start_django();
    try {
        users->get(ADMIN_USERNAME, true);
        println("Admin user already exists, you can use admin to login:");
        return;
    } catch (const std::exception&) {
        // None, several, or no table at all: (re)create it below.
    }
    auto [account, created] = users->update_or_create(ADMIN_EMAIL, ADMIN_USERNAME);
    account->set_password(INITIAL_PASSWORD);
    account->set_flag("is_active", true);
    account->set_flag("is_superuser", true);
    account->set_flag("is_staff", true);
    account->save();
    println(std::string(created ? "Created" : "Reset") + " admin account: " + ADMIN_USERNAME + "(" +
            ADMIN_EMAIL + "), initial password: " + INITIAL_PASSWORD +
            ", just use it temporarily and change the password for safety");
}

void init_password() {
    std::unique_ptr<UserManager> users = start_django();
    std::unique_ptr<UserQuery> admins = users->filter(ADMIN_USERNAME, true);
    // The account may vanish between the two questions; then there is none.
    std::unique_ptr<UserAccount> account = admins->exists() ? admins->first() : nullptr;
    if (!account) {
        println("Please init one admin first");
        return;
    }
    account->set_password(INITIAL_PASSWORD);
    account->save();
    println(std::string("Reset admin account: ") + ADMIN_USERNAME + ", initial password: " +
            INITIAL_PASSWORD + ", just use it temporarily and change the password for safety");
}

}  // namespace tarvik::admin
