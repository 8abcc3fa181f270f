#include "app/cli/devices_commands.h"

#include <unistd.h>

#include <ctime>
#include <memory>
#include <ostream>
#include <string>

#include "app/cli/cli.h"
#include "platform/store/home.h"
#include "platform/web/device_tokens.h"
#include "platform/web/web_security.h"

namespace quillbox {

namespace {

std::string timeText(std::int64_t seconds) {
  if (seconds == 0) return "never";
  std::time_t at = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&at, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

std::string defaultServer() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "https://localhost:8080/";
  return "https://" + std::string(name) + ":8080/";
}

// The server's list of devices; a cloud store that keeps none (a folder, a Redis server) is a usage error.
Result<std::unique_ptr<DeviceTokens>> openDevices(const GlobalOptions& options) {
  Result<std::filesystem::path> home = resolveHome(options.home);
  if (!home) return asStoreFailure(home.status());
  Result<std::unique_ptr<DeviceTokens>> devices = DeviceTokens::forCloud(cloudSpec(options), home.value());
  if (!devices) return Status::Invalid(terminalSafe(devices.status().message()));
  return devices;
}

struct DevicesState {
  std::string name;
  std::string server;
};

}  // namespace

void addDevicesCommands(CLI::App& app, CommandContext& context) {
  auto state = std::make_shared<DevicesState>();
  CLI::App* devices = app.add_subcommand("devices", "the devices that may reach this server's cloud store");
  devices->require_subcommand(1);

  CLI::App* add = devices->add_subcommand("add", "add a device and print its token, this once");
  add->add_option("NAME", state->name, "the device's name: letters, digits, '.', '_' or '-'")->required();
  add->add_option("--server,--address", state->server,
                  "the server's address as the device reaches it (https://HOST:PORT/); by default the "
                  "one `quillbox serve` last announced");
  add->callback([&context, state] {
    context.command = [&context, state] {
      Result<std::unique_ptr<DeviceTokens>> tokens = openDevices(context.options);
      if (!tokens) return tokens.status();
      Result<std::string> token = tokens.value()->add(state->name);
      if (!token) return token.status();
      std::string server = state->server.empty() ? defaultServer() : state->server;
      context.out << "Added the device " << terminalSafe(state->name)
                  << ". Its token, shown only this once:\n"
                  << "  " << token.value() << "\n"
                  << "Set the device up with (add --cloud-ca FILE for a certificate of your own):\n"
                  << "  export QUILLBOX_CLOUD=" << terminalSafe(server)
                  << " QUILLBOX_CLOUD_TOKEN=" << token.value() << "\n";
      // The phone's address carries the token in its fragment, which no browser sends to a server.
      std::string origin = state->server;
      if (Result<std::filesystem::path> home = resolveHome(context.options.home); origin.empty() && home)
        origin = web::loadServerAddress(home.value());
      while (origin.ends_with('/')) origin.pop_back();
      const std::string page = "/device/#token=" + token.value();
      if (origin.empty()) {
        context.out << "Or open this on a phone, after the server's address (https://HOST:PORT), to keep "
                       "the lists there:\n  "
                    << page << "\n";
      } else {
        context.out << "Or open this address on a phone to keep the lists there:\n  " << terminalSafe(origin)
                    << page << "\n";
      }
      return Status::Ok();
    };
  });

  devices->add_subcommand("list", "the devices: name, added, last seen")->callback([&context] {
    context.command = [&context] {
      Result<std::unique_ptr<DeviceTokens>> tokens = openDevices(context.options);
      if (!tokens) return tokens.status();
      Result<std::vector<DeviceRecord>> listed = tokens.value()->list();
      if (!listed) return listed.status();
      for (const DeviceRecord& device : listed.value()) {
        context.out << terminalSafe(device.name) << "\tadded " << timeText(device.added) << "\tlast seen "
                    << timeText(device.lastSeen) << "\n";
      }
      return Status::Ok();
    };
  });

  CLI::App* revoke = devices->add_subcommand("revoke", "end a device's access at once");
  revoke->add_option("NAME", state->name, "the device's name")->required();
  revoke->callback([&context, state] {
    context.command = [&context, state] {
      Result<std::unique_ptr<DeviceTokens>> tokens = openDevices(context.options);
      if (!tokens) return tokens.status();
      if (Status revoked = tokens.value()->revoke(state->name); !revoked.ok()) return revoked;
      context.out << "Revoked the device " << terminalSafe(state->name) << ".\n";
      return Status::Ok();
    };
  });
}

}  // namespace quillbox
