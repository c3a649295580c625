// Database and administrator-account operations of the framework's server.
#pragma once

namespace tarvik::admin {

inline constexpr const char* SETTINGS_MODULE = "tarvik.server.server.settings";
inline constexpr const char* ADMIN_USERNAME = "admin";
inline constexpr const char* ADMIN_EMAIL = "admin@tarvik.dev";
inline constexpr const char* INITIAL_PASSWORD = "lumen";

// Applies all pending migrations. A migration failure is printed as
// "Error during migration: ..." and not raised; a failing setup is raised.
void migrate();

// Makes sure the superuser "admin" exists, creating it (or promoting and
// resetting the "admin" account with the administrator e-mail) with the
// initial password. An existing superuser "admin" is left untouched.
void init_admin();

// Resets the superuser "admin"'s password to the initial password.
void init_password();

}  // namespace tarvik::admin
