// tarvotcpc: the TCP/IP client's program entry.
#include <QApplication>
#include <QTimer>

#include <iostream>
#include <string_view>
#include <vector>

#include "window/application.hpp"
#include "replay/file_compare.hpp"
#include "replay/headless_run.hpp"
#include "session/command_line.hpp"
#include "settings/ini.hpp"
#include "window/main_window.hpp"

int main(int argc, char *argv[]) {
    // The arguments are read before Qt starts, so that --help, --version and a mistake are
    // answered without a window or a display.
    using tarvotcpc::CommandLine;
    const CommandLine line =
        tarvotcpc::ParseCommandLine(std::vector<std::string_view>(argv + 1, argv + argc));
    switch (line.action) {
    case CommandLine::Action::Error:
        std::cerr << "tarvotcpc: " << line.error
                  << "\nTry 'tarvotcpc --help' for more information.\n";
        return tarvotcpc::kUsageExitStatus;
    case CommandLine::Action::Help:
        std::cout << tarvotcpc::UsageText("tarvotcpc") << std::flush;
        return std::cout ? 0 : 1;
    case CommandLine::Action::Version:
        std::cout << "tarvotcpc " TARVOTCPC_VERSION "\n" << std::flush;
        return std::cout ? 0 : 1;
    case CommandLine::Action::Run:
        break;
    }
    // Two exchanges compared for a CI job or a shell, no window either.
    if (line.compareFiles)
        return tarvotcpc::CompareExchangeFiles(
            line.compareFiles->first, line.compareFiles->second,
            line.settingsPath.value_or(tarvotcpc::SettingsPath()), stdout, stderr);
    // A script run for a CI job or a shell: no window, no display, no Qt at all.
    if (line.runScript) {
        tarvotcpc::HeadlessRequest request;
        request.scriptPath = *line.runScript;
        if (line.destination) {
            request.host = line.destination->host;
            request.port = line.destination->port.value_or(0);
            request.udp = line.destination->udp;
        }
        request.tls = line.tls;
        request.proxy = line.proxy.value_or(std::string());
        request.tlsDetails = line.tlsDetails;
        request.settingsPath = line.settingsPath.value_or(tarvotcpc::SettingsPath());
        request.caFile = line.caFile.value_or(std::string());
        request.outPath = line.outPath.value_or(std::string());
        request.capturePath = line.capturePath.value_or(std::string());
        if (line.runTimeout) request.timeoutSeconds = *line.runTimeout;
        return tarvotcpc::RunHeadless(request, stdout, stderr);
    }

    // Qt reads none of the arguments: the command line above is the program's whole interface.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    tarvotcpc::ui::SetUpApplication();

    tarvotcpc::ui::MainWindow window(line.settingsPath.value_or(tarvotcpc::SettingsPath()));
    window.show();
    if (line.listenPort) {
        tarvotcpc::ListenParams params;
        params.port = *line.listenPort;
        params.bind = line.listenBind;
        params.address = line.listenAddress;
        params.tls = line.tls;
        params.udp = line.listenUdp;
        QTimer::singleShot(0, &window, [&window, params] { window.ListenAtStart(params); });
    } else if (line.destination) {
        QTimer::singleShot(
            0, &window,
            [&window, destination = *line.destination, tls = line.tls,
             proxy = line.proxy.value_or(std::string()), details = line.tlsDetails] {
                if (destination.port) {
                    tarvotcpc::Destination params{destination.host, *destination.port, tls, proxy};
                    params.tlsDetails = details;
                    params.udp = destination.udp;
                    window.ConnectAtStart(params);
                } else {
                    window.OpenConnectDialogWith(QString::fromStdString(destination.host), tls,
                                                 QString::fromStdString(proxy), details,
                                                 destination.udp);
                }
            });
    }
    return QApplication::exec();
}
