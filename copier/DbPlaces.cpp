#include "copier/DbPlaces.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <vector>

#include "copier/DataLinks.h"
#include "gisdb/AdoOrvelDbs.h"
#include "gisdb/VCLOrvelDbs.h"
#include "platform/ado/Ado.h"
#include "platform/bde/Bde.h"

namespace {

enum class TFamily { None, Folder, Firebird, Odbc };

// Where a database lies. Machine is empty for this machine, else the addresses the host resolves
// to (or its name when it does not resolve). A file or folder place has a Path; a server database
// place has a Server (the port it is reached on, or the cluster the engine names) and a Database.
struct TDbPlace {
  TFamily Family = TFamily::None;
  bool Known = false;         // there is a place to compare
  bool Final = false;         // the spelling is the whole truth: an engine could tell no more
  bool MachineKnown = false;  // Machine says where the place lies
  std::vector<std::string> Machine;
  std::string Path;
  std::string Server;
  std::string Database;
};

std::string NumericAddress(const sockaddr* address) {
  const socklen_t size = address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  char text[NI_MAXHOST];
  if (getnameinfo(address, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return text;
}

bool IsLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
  if (address->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
  }
  return false;
}

// The addresses of this machine's own interfaces.
std::vector<std::string> OwnAddresses() {
  std::vector<std::string> own;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return own;
  for (ifaddrs* i = list; i; i = i->ifa_next)
    if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6))
      own.push_back(NumericAddress(i->ifa_addr));
  freeifaddrs(list);
  return own;
}

// The machine a host name or address reaches: empty for this machine.
std::vector<std::string> MachineOf(std::string host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty() || SameText(host, "localhost")) return {};
  char own[256] = {};
  if (gethostname(own, sizeof own - 1) == 0 && SameText(own, host)) return {};
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {"name:" + UpperCase(host)};
  std::vector<std::string> addresses;
  bool local = false;
  const std::vector<std::string> ownAddresses = OwnAddresses();
  for (addrinfo* a = found; a; a = a->ai_next) {
    const std::string address = NumericAddress(a->ai_addr);
    if (IsLoopback(a->ai_addr) || std::find(ownAddresses.begin(), ownAddresses.end(), address) != ownAddresses.end())
      local = true;
    addresses.push_back(address);
  }
  freeaddrinfo(found);
  if (local) return {};
  std::sort(addresses.begin(), addresses.end());
  return addresses;
}

bool SameMachine(const TDbPlace& x, const TDbPlace& y) {
  if (x.Machine.empty() || y.Machine.empty()) return x.Machine.empty() && y.Machine.empty();
  for (const std::string& address : x.Machine)
    if (std::find(y.Machine.begin(), y.Machine.end(), address) != y.Machine.end()) return true;
  return false;
}

// Two paths of this machine: one existing file or folder, or, where either does not exist yet,
// the same path once made absolute and rid of ".", ".." and symbolic links.
bool SameLocalPath(const std::string& x, const std::string& y) {
  namespace fs = std::filesystem;
  const fs::path a = AnsiToUtf8(x), b = AnsiToUtf8(y);
  std::error_code ec, ea, eb;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec) && !ec;
  const fs::path ca = fs::weakly_canonical(fs::absolute(a), ea);
  const fs::path cb = fs::weakly_canonical(fs::absolute(b), eb);
  return !ea && !eb && ca == cb;
}

bool SamePlace(const TDbPlace& x, const TDbPlace& y) {
  if (!x.Known || !y.Known || x.Family != y.Family) return false;
  if (x.MachineKnown && y.MachineKnown && !SameMachine(x, y)) return false;
  if (!x.Path.empty() && !y.Path.empty())
    return x.Machine.empty() ? SameLocalPath(x.Path, y.Path) : x.Path == y.Path;
  return !x.Database.empty() && x.Server == y.Server && x.Database == y.Database;
}

// A file or folder of this machine that the engine opens as it is named.
TDbPlace LocalPlace(TFamily family, const std::string& path) {
  TDbPlace place;
  place.Family = family;
  place.Known = !path.empty();
  place.Final = true;
  place.MachineKnown = true;
  place.Path = path;
  return place;
}

// Splits a Firebird database name into the host ("" for a file opened by this process's engine)
// and the path the host opens.
void SplitFirebirdName(const std::string& name, std::string& host, std::string& path) {
  host.clear();
  path = name;
  for (const std::string_view scheme : {"inet://", "inet4://", "inet6://", "wnet://", "xnet://"}) {
    if (!SameText(std::string_view(name).substr(0, scheme.size()), scheme)) continue;
    const std::string rest = name.substr(scheme.size());
    if (scheme == "xnet://") {  // a protocol of this machine only
      path = rest;
      return;
    }
    const std::size_t slash = rest.find('/');
    const std::string hostPort = rest.substr(0, slash);
    path = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
    const std::size_t close = hostPort.find(']');
    host = hostPort.substr(0, hostPort.find(':', close == std::string::npos ? 0 : close));
    return;
  }
  if (name.rfind("\\\\", 0) == 0) {
    const std::size_t separator = name.find('\\', 2);
    host = name.substr(2, separator - 2);
    path = separator == std::string::npos ? std::string() : name.substr(separator + 1);
    return;
  }
  const std::size_t close = name.front() == '[' ? name.find(']') : std::string::npos;
  const std::size_t colon = name.find(':', close == std::string::npos ? 0 : close);
  if (colon == std::string::npos || colon == 0 || colon + 1 == name.size()) return;
  host = name.substr(0, colon);
  path = name.substr(colon + 1);
  // "host/port": the port or service picks the server's listener, not the machine.
  const std::size_t port = host.find('/', close == std::string::npos ? 0 : close);
  if (port != std::string::npos) host.erase(port);
}

TDbPlace FirebirdPlace(const std::string& name) {
  TDbPlace place;
  place.Family = TFamily::Firebird;
  if (name.empty()) return place;
  std::string host, path;
  SplitFirebirdName(name, host, path);
  place.Machine = MachineOf(host);
  place.MachineKnown = true;
  place.Path = path;
  place.Known = !path.empty();
  // A path on this machine that names an existing file is the file the engine opens; a relative
  // path given to a server, or a name that is no file here, is resolved by the server itself.
  std::error_code ec;
  const std::filesystem::path file = AnsiToUtf8(path);
  place.Final = place.Known && place.Machine.empty() && (host.empty() || file.is_absolute()) &&
                std::filesystem::is_regular_file(file, ec);
  return place;
}

TDbPlace OdbcPlace(const std::string& connectionString) {
  TDbPlace place;
  place.Family = TFamily::Odbc;
  std::string driver, database, server, port;
  bool dsn = false;
  for (const auto& [key, value] : ParseOdbcConnectionString(connectionString)) {
    const std::string k = UpperCase(key);
    if (k == "DRIVER") driver = UpperCase(value);
    else if (k == "DSN" || k == "FILEDSN") dsn = true;
    else if (k == "DATABASE" || k == "DBNAME" || k == "DBQ") database = value;
    else if (k == "SERVER" || k == "SERVERNAME" || k == "HOST") server = value;
    else if (k == "PORT") port = value;
  }
  if (dsn) return place;  // the data source holds what the string leaves out
  if (driver.find("SQLITE") != std::string::npos) {
    place = LocalPlace(TFamily::Odbc, database);
  } else if (driver.find("POSTGRES") != std::string::npos || driver.find("PSQL") != std::string::npos) {
    place.MachineKnown = !server.empty();
    place.Machine = MachineOf(server);
    place.Server = "port:" + (port.empty() ? std::string("5432") : port);
    place.Database = database;
    place.Known = !server.empty() && !database.empty();
  }
  return place;
}

// The place a location's spelling tells.
TDbPlace SpelledPlace(IConnParams* p) {
  const std::string engine = UpperCase(GetConnParam(p, "ENGINE", ""));
  try {
    if (engine == "PDOX") return LocalPlace(TFamily::Folder, GetConnParam(p, "FOLDER", ""));
    if (engine == "IB") return FirebirdPlace(IBDatabaseName(p));
    if (engine == "OLEDB") return OdbcPlace(GetConnParam(p, "CONNECTIONSTRING", ""));
    if (engine == "BDE") {
      const std::string alias = GetConnParam(p, "ALIAS", "");
      if (!bde::Session().IsAlias(alias)) return {};
      TStringList params;
      bde::Session().GetAliasParams(alias, params);
      const std::string driver = bde::Session().GetAliasDriverName(alias);
      if (driver == "STANDARD") return LocalPlace(TFamily::Folder, params.Values("PATH"));
      if (driver == "INTRBASE") return FirebirdPlace(params.Values("SERVER NAME"));
    }
  } catch (const std::exception&) {
  }
  return {};
}

// The first row's columns of a statement, as text.
std::vector<std::string> FirstRow(IOrvDb* db, const std::string& sql, int columns) {
  IOrvDbSQLPtr statement = db->CreateSQL(sql);
  statement->Execute({});
  std::vector<std::string> row;
  if (!statement->Eof())
    for (int i = 0; i < columns; ++i) row.push_back(Trim(statement->AsString(Variant(int32_t(i)))));
  statement->Close();
  return row;
}

// The place the engine of a connected database names; the spelled place supplies the machine.
TDbPlace EnginePlace(IOrvDb* db, const TDbPlace& spelled) {
  TDbPlace place;
  place.Family = spelled.Family;
  if (spelled.Family == TFamily::Firebird) {
    const auto row = FirstRow(db, "SELECT MON$DATABASE_NAME FROM MON$DATABASE", 1);
    if (row.empty()) return place;
    place.Machine = spelled.Machine;
    place.MachineKnown = true;
    place.Path = row[0];
  } else if (auto* ado = dynamic_cast<TAdoOrvDb*>(db); ado && spelled.Family == TFamily::Odbc) {
    const std::string dbms = ado->Connection()->Properties().Item("DBMS Name").Value.ToString();
    if (SameText(dbms, "PostgreSQL")) {
      const auto row = FirstRow(
          db, "SELECT current_database(), CAST((SELECT system_identifier FROM pg_control_system()) AS TEXT)", 2);
      if (row.size() < 2) return place;
      place.Database = row[0];
      place.Server = "cluster:" + row[1];
    } else if (SameText(dbms, "SQLite")) {
      IOrvDbSQLPtr list = db->CreateSQL("PRAGMA database_list");
      for (list->Execute({}); !list->Eof(); list->Next())
        if (list->AsString(Variant(int32_t(1))) == "main") place.Path = list->AsString(Variant(int32_t(2)));
      list->Close();
      place.MachineKnown = true;
    }
  }
  place.Known = !place.Path.empty() || !place.Database.empty();
  return place;
}

// The place a location reaches as its engine tells it, through db or a connection of its own;
// the spelled place when that is the whole truth.
TDbPlace AskedPlace(IConnParams* p, IOrvDb* db, const TDbPlace& spelled) {
  if (spelled.Final || spelled.Family == TFamily::Folder) return spelled;
  IOrvDbPtr own;
  try {
    if (!db) {
      own = ConnectDb(p, true);
      db = own.get();
    }
    TDbPlace place = EnginePlace(db, spelled);
    if (own) own->Close();
    return place;
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

bool SameDatabase(IConnParams* a, IConnParams* b, IOrvDb* aDb, IOrvDb* bDb) {
  if (SameDbLocation(a, b)) return true;
  if (!a || !b) return false;
  const TDbPlace x = SpelledPlace(a), y = SpelledPlace(b);
  if (x.Family == TFamily::None || x.Family != y.Family) return false;
  if (SamePlace(x, y)) return true;
  // Engines name the file or database they opened, never another machine.
  if ((x.Final && y.Final) || (x.MachineKnown && y.MachineKnown && !SameMachine(x, y))) return false;
  const TDbPlace asked = AskedPlace(a, aDb, x);
  return asked.Known && SamePlace(asked, AskedPlace(b, bDb, y));
}
