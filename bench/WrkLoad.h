// What the load drivers of the relay share: wrk run on CPUs of its own against a URL, its figures, and
// the pinning of the server's threads to others.
#pragma once

#include "VellumarMacCore/Foundations/CommandRunner.h"

#include <sched.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace vellumar::bench {

struct WrkFigures {
    double requestsPerSecond = 0;
    double requests = 0;
    std::string p99;
    std::string errors;
};

// wrk's latency as printed ("812.00us", "3.21ms", "1.02s") in milliseconds; 0 when unreadable.
inline double milliseconds(const std::string& latency)
{
    std::size_t unitAt = 0;
    double value = 0;
    try {
        value = std::stod(latency, &unitAt);
    } catch (...) {
        return 0;
    }
    auto unit = latency.substr(unitAt);
    if (unit == "us")
        return value / 1000;
    if (unit == "s")
        return value * 1000;
    return unit == "ms" ? value : 0;
}

// 32 connections on two threads for `duration`, each request carrying `headers` ("Name: value").
inline WrkFigures runWrk(const std::string& cpus, const std::string& duration, const std::string& url,
    const std::vector<std::string>& headers = {})
{
    std::vector<std::string> arguments { "-c", cpus, "wrk", "-t2", "-c32", "-d" + duration, "--latency" };
    for (const auto& header : headers) {
        arguments.push_back("-H");
        arguments.push_back(header);
    }
    arguments.push_back(url);
    auto result = runCommand("/usr/bin/taskset", arguments, { .timeLimitSeconds = 120 });
    WrkFigures figures;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "Requests/sec:")
            words >> figures.requestsPerSecond;
        else if (line.find(" requests in ") != std::string::npos)
            figures.requests = std::atof(first.c_str());
        else if (first == "99%")
            words >> figures.p99;
        else if (first == "Non-2xx" || first == "Socket")
            figures.errors += line + "\n";
    }
    return figures;
}

// The calling thread, and every thread it starts from then on, runs only on `cpus` ("0,1").
inline void pinTo(const std::string& cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    std::istringstream list(cpus);
    for (std::string cpu; std::getline(list, cpu, ',');)
        CPU_SET(std::stoi(cpu), &set);
    sched_setaffinity(0, sizeof set, &set);
}

inline void print(const char* name, const WrkFigures& figures)
{
    std::printf("%-22s %12.0f req/s   p99 %s\n", name, figures.requestsPerSecond, figures.p99.c_str());
    if (!figures.errors.empty())
        std::printf("%s", figures.errors.c_str());
}

}
