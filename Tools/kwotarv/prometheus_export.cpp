// The textfile export of the metrics.
#include "prometheus_export.hpp"

#include <limits>

#include "atomic_file.hpp"
#include "metrics.hpp"
#include "sensor_monitor.hpp"

namespace kwotarv {

int RunPrometheusRead(Backend& backend, const ExportOptions& options, std::ostream& out,
                      std::ostream& err)
{
    SensorMonitor monitor(backend);
    const uint64_t total =
        options.count.value_or(options.watchSeconds ? std::numeric_limits<uint64_t>::max() : 1);
    int status = kExitSuccess;
    for (uint64_t reading = 1; reading <= total; ++reading) {
        if (reading > 1 && options.watchSeconds)
            SleepSeconds(*options.watchSeconds);
        if (reading > 1 && StopRequested())
            break;
        const Sample sample = monitor.Read();
        for (const auto& error : sample.readings.errors)
            err << "kwotarv: " << error << "\n";
        if (!sample.up)
            status = kExitFailure;
        const std::string text = MetricsText(sample, monitor.FailedReads());
        if (options.output) {
            try {
                WriteFileAtomically(*options.output, text);
            } catch (const ToolError& error) {
                err << "kwotarv: " << error.what() << "\n";
                return error.ExitCode();
            }
        } else {
            out << text;
            out.flush();
        }
    }
    return status;
}

} // namespace kwotarv
