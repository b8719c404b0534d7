#include "datamodule/datamodule.h"

#include <cstdio>
#include <cstdlib>

namespace qv {

TDataModule2* DataModule2 = nullptr;

std::string ServerDestination::host_problem(const std::string& host) {
  const std::size_t slash = host.find('/');
  const std::string name = host.substr(0, slash);
  if (name.empty()) return "no host name";
  if (host.find_first_of(": \t\n\\") != std::string::npos) return "a host name holds no \":\", blank or \"\\\"";
  if (slash == std::string::npos) return {};
  const std::string port = host.substr(slash + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535)
    return "the port after \"/\" must be a number from 1 to 65535";
  return {};
}

bool ServerDestination::login_from_environment() {
  const char* user = std::getenv("ISC_USER");
  const char* password = std::getenv("ISC_PASSWORD");
  server.user = user && *user ? user : "SYSDBA";
  if (!password) return false;
  server.password = password;
  return true;
}

std::string ServerDestination::database(const std::string& file_name) const {
  // The server's own separator: a folder written with "\" only is a Windows one.
  const char separator = directory.find('/') == std::string::npos && directory.find('\\') != std::string::npos ? '\\' : '/';
  if (directory.empty() || directory.back() == '/' || directory.back() == '\\') return directory + file_name;
  return directory + separator + file_name;
}

std::vector<std::string> admin_login() {
  return {std::string("user_name=") + kAdminUser, std::string("password=") + kAdminPassword};
}

TDataModule2::TDataModule2() {
  IBDatabase2.Params = {"user_name=sysdba", std::string("password=") + kAdminPassword, ""};
  IBDatabase2.LoginPrompt = false;
  IBDatabase2.DefaultTransaction = &IBTransaction1;
  IBDatabase2.IdleTimer = 0;
  IBDatabase2.SQLDialect = 1;
  IBTransaction1.DefaultDatabase = &IBDatabase2;
  IBSQL1.Database = &IBDatabase2;
  IBSQL1.Transaction = &IBTransaction1;
  IBSQL1.ParamCheck = true;
  IBTable1.Database = &IBDatabase2;
  IBTable1.Transaction = &IBTransaction1;
  IBTable1.CachedUpdates = false;
  PDTable1.ReadOnly = true;
  PDTable2.ReadOnly = false;
}

TDataModule2::~TDataModule2() {
  // Components are destroyed in reverse order of declaration; close the
  // connection first so that the open transaction is committed.
  try {
    IBDatabase2.Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Closing the database failed: %s\n", e.what());
  }
}

DataModuleScope::DataModuleScope() { DataModule2 = new TDataModule2(); }
DataModuleScope::~DataModuleScope() {
  delete DataModule2;
  DataModule2 = nullptr;
}

}  // namespace qv
