#include "app/cli/devices_commands.h"

#include <unistd.h>

#include <ctime>
#include <memory>
#include <ostream>
#include <string>

#include "app/cli/announce.h"
#include "app/cli/cli.h"
#include "app/cli/cloud_options.h"
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

// The one origin a device is sent to: --server when given, else the one `quillbox serve` announced.
Result<std::string> serverOrigin(const GlobalOptions& options, const std::string& given) {
  if (!given.empty()) return parseOrigin("--server", given);
  Result<std::filesystem::path> home = resolveHome(options.home);
  if (!home) return asStoreFailure(home.status());
  std::string announced = web::loadServerAddress(home.value());
  if (announced.empty()) {
    return Status::Invalid(
        "devices add: no server address is known yet: start `quillbox serve` on this "
        "home once (it keeps the address it announces), or give --server "
        "https://HOST:PORT/");
  }
  return announced;
}

// The server's list of devices; a cloud store that keeps none (a folder, a Redis server) is a usage error.
Result<std::unique_ptr<DeviceTokens>> openDevices(const GlobalOptions& options) {
  Result<std::filesystem::path> home = resolveHome(options.home);
  if (!home) return asStoreFailure(home.status());
  Result<std::unique_ptr<DeviceTokens>> devices = DeviceTokens::forCloud(cloudOptions(options), home.value());
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

  CLI::App* add = devices->add_subcommand(
      "add", "add a device; prints its token (this once), the line that sets a laptop up and a phone's link");
  add->add_option("NAME", state->name, "the device's name: letters, digits, '.', '_' or '-'")->required();
  add->add_option("--server,--address", state->server,
                  "the server's origin as the device reaches it (https://HOST:PORT/); by default the "
                  "one `quillbox serve` last announced (its --public-origin, else its own address)");
  add->callback([&context, state] {
    context.command = [&context, state] {
      Result<std::string> origin = serverOrigin(context.options, state->server);
      if (!origin) return origin.status();
      Result<std::unique_ptr<DeviceTokens>> tokens = openDevices(context.options);
      if (!tokens) return tokens.status();
      Result<std::string> token = tokens.value()->add(state->name);
      if (!token) return token.status();
      const std::string shown = terminalSafe(origin.value());
      context.out << "Added the device " << terminalSafe(state->name)
                  << ". Its token, shown only this once:\n"
                  << "  " << token.value() << "\n"
                  << "Set the device up with (add --cloud-ca FILE for a certificate of your own):\n"
                  << "  export QUILLBOX_CLOUD=" << shown << "/ QUILLBOX_CLOUD_TOKEN=" << token.value()
                  << "\n"
                  // The token sits in the fragment, which no browser sends to a server.
                  << "Or open this address on a phone to keep the lists there:\n"
                  << "  " << shown << "/device/#token=" << token.value() << "\n";
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

void addAddressCommand(CLI::App& app, CommandContext& context) {
  app.add_subcommand("address",
                     "print the address of the app's page, with its secret, as `quillbox serve` "
                     "last announced it")
      ->callback([&context] {
        context.command = [&context]() -> Status {
          Result<std::filesystem::path> home = resolveHome(context.options.home);
          if (!home) return asStoreFailure(home.status());
          std::string origin = web::loadServerAddress(home.value());
          if (origin.empty())
            return Status::Invalid("address: `quillbox serve` has not run on this home yet");
          Result<std::string> token = web::loadOrCreateToken(home.value());
          if (!token) return asStoreFailure(token.status());
          context.out << terminalSafe(origin) << "/#token=" << token.value() << "\n";
          return Status::Ok();
        };
      });
}

}  // namespace quillbox
