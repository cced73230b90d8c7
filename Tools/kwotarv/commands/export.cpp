// The textfile export of the metrics.
#include "commands/export.hpp"

#include "commands/watch_pacing.hpp"
#include "serve/atomic_file.hpp"
#include "serve/metrics.hpp"
#include "serve/sensor_monitor.hpp"

namespace kwotarv {

int RunPrometheusRead(Backend& backend, const ReadOptions& options, std::ostream& out,
                      std::ostream& err)
{
    if (options.output)
        CheckReplaceableFile(*options.output);
    SensorMonitor monitor(backend, {}, options.bus.timeoutMs);
    int status = kExitSuccess;
    ForEachReading(options.watchSeconds, options.count, [&](uint64_t) {
        const Sample sample = monitor.Read();
        for (const auto& error : sample.readings.errors)
            err << "kwotarv: " << error << "\n";
        if (!sample.up)
            status = kExitFailure;
        const std::string text = MetricsText(sample, monitor.FailedReads());
        if (!options.output) {
            out << text;
            out.flush();
            return true;
        }
        try {
            WriteFileAtomically(*options.output, text);
        } catch (const ToolError& error) {
            err << "kwotarv: " << error.what() << "\n";
            status = error.ExitCode();
            return false;
        }
        return true;
    });
    return status;
}

} // namespace kwotarv
