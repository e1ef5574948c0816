// The extension module vellumotor._core: the device and the in-process simulator. Every call that
// may exchange a line or wait releases the GIL, so other Python threads run meanwhile; arguments
// and results are plain C++ values, converted while the GIL is held.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "cli/profiles.h"
#include "cli/sensor_module.h"
#include "gui/model/failsafe.h"
#include "link/text_out.h"
#include "python/src/device.h"
#include "python/src/simulator.h"

namespace py = pybind11;
using vm::py::Device;
using vm::py::Simulator;

PYBIND11_MODULE(_core, m) {
    m.doc() = "Controller link, device model and virtual controller of the vellumotor package.";

    // The package's own exception classes live in vellumotor.errors; they are looked up when first
    // needed, so importing _core alone never imports the package.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const vm::py::LinkFailure& e) {
            py::object type = py::module_::import("vellumotor.errors").attr("LinkError");
            PyErr_SetObject(type.ptr(), type(e.what()).ptr());
        } catch (const vm::py::Refused& e) {
            py::object type = py::module_::import("vellumotor.errors").attr("ControllerError");
            py::object error = type(e.what(), py::arg("command") = e.command, py::arg("reply") = e.reply);
            PyErr_SetObject(type.ptr(), error.ptr());
        }
    });

    using Release = py::call_guard<py::gil_scoped_release>;

    py::class_<Simulator, std::shared_ptr<Simulator>>(m, "Simulator", "The virtual controller, in-process.")
        .def(py::init<const std::string&, double, bool>(), py::arg("rack"), py::arg("speed"),
             py::arg("virtual_time"))
        .def_property_readonly("rack", &Simulator::rack)
        .def_property_readonly("speed", &Simulator::speed)
        .def_property_readonly("virtual_time", &Simulator::virtualTime)
        .def("add_fault", &Simulator::addFault, py::arg("rule"), Release())
        .def("clear_faults", &Simulator::clearFaults, Release())
        .def("set_failsafe", &Simulator::setFailsafe, py::arg("slot"), py::arg("bits"), Release())
        .def("position", &Simulator::position, py::arg("slot"), py::arg("channel"), Release())
        .def("lines", &Simulator::lines, Release())
        .def("clear_lines", &Simulator::clearLines, Release())
        .def("now_ms", &Simulator::nowMs)
        .def("advance_ms", &Simulator::advanceMs, py::arg("ms"), Release());

    py::class_<Device>(m, "Device", "One controller link in the device model.")
        .def("close", &Device::close, Release())
        .def_property_readonly("closed", &Device::closed)
        .def_property_readonly("description", &Device::description)
        .def("scan", &Device::scan, Release())
        .def("ping", &Device::ping, Release())
        .def("has_encoder", &Device::hasEncoder, py::arg("module"), Release())
        .def("load_channel", &Device::loadChannel, py::arg("module"), py::arg("channel"), Release())
        .def("store_channel", &Device::storeChannel, py::arg("index"), py::arg("record"), Release())
        .def("commit", &Device::commit, Release())
        .def("start_move", &Device::startMove, py::arg("module"), py::arg("channel"), py::arg("type"),
             py::arg("temperature"), py::arg("direction"), py::arg("frequency"), py::arg("step_size"),
             py::arg("steps"), Release())
        .def("poll", &Device::poll, py::arg("module"), py::arg("channel"), Release())
        .def("stop", &Device::stop, py::arg("module"), py::arg("channel"), Release())
        .def("status", &Device::status, py::arg("module"), Release())
        .def("counter", &Device::counter, py::arg("module"), py::arg("channel"), Release())
        .def("zero_counter", &Device::zeroCounter, py::arg("module"), py::arg("channel"), Release())
        .def("failsafe", &Device::failsafe, py::arg("module"), Release())
        .def("descriptor", &Device::descriptor, py::arg("module"), Release())
        .def("exchange", &Device::exchange, py::arg("line"), Release())
        .def("now_ms", &Device::nowMs)
        .def("sleep_ms", &Device::sleepMs, py::arg("ms"), Release())
        .def("rise_time", &Device::riseTime, py::arg("type"), py::arg("temperature"), py::arg("step_size"))
        .def("profiles", &Device::profiles)
        .def_static("take_log", [] {
            // (line, reply, link result, microseconds) of this thread's latest call.
            std::vector<std::tuple<std::string, std::string, int, std::int64_t>> log;
            for (auto& r : vm::py::RecordingLink::TakeThreadLog())
                log.emplace_back(std::move(r.line), std::move(r.reply), r.result, r.us);
            return log;
        });

    m.def(
        "failsafe_lines",
        [](int bits) {
            if (bits < 0 || bits > 255) throw std::invalid_argument("failsafe bits are 0 to 255");
            std::vector<std::string> lines;
            for (auto line : vm::gui::FailsafeLines(static_cast<std::uint8_t>(bits)))
                lines.emplace_back(line);
            return lines;
        },
        py::arg("bits"), "The driver check's report lines of every set failsafe bit.");
    // Stage types and the conversions of the console tool (closed loop and sensor modules).
    m.def(
        "stage",
        [](const std::string& word) -> py::object {
            if (vm::cli::StageNameCheck(word) != 1) return py::none();
            vm::cli::StageDriveRecord r;
            vm::cli::BuildStageDriveRecord(r, word);
            py::object profile = py::none();
            if (const auto p = vm::cli::ProfileOfCode(r.profileCode))
                profile = py::make_tuple(std::string(p->name), p->paramA, p->paramB, p->invertDirection);
            const std::string kind = r.axisKind ? std::string(1, r.axisKind) : std::string();
            return py::make_tuple(r.scaleFactor, r.scanBase, r.loopValue, kind, profile, r.loopInteger);
        },
        py::arg("word"),
        "The drive record of a stage word: (scale factor, scan base, loop value, axis kind 'L', 'R' or '', "
        "profile (name, paramA, paramB, invertDirection) or None, loop integer); None for an unknown word.");
    m.def(
        "stage_words",
        [] {
            vm::StringTextOut out;
            vm::cli::PrintStageList(out);
            std::vector<std::string> words;
            std::string_view text = out.text();
            for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string_view::npos;
                 start = end + 1)
                if (end > start) words.emplace_back(text.substr(start, end - start));
            return words;
        },
        "The listed stage words, in table order.");
    m.def(
        "rise_time",
        [](int paramA, int paramB, int temperature, int stepSize, int torque) {
            for (const auto& [what, value, high] : {std::tuple{"paramA", paramA, 65535},
                                                    {"paramB", paramB, 255},
                                                    {"temperature", temperature, 65535},
                                                    {"step size", stepSize, 255},
                                                    {"torque factor", torque, 255}})
                if (value < 0 || value > high)
                    throw std::invalid_argument(std::string(what) + " is 0 to " + std::to_string(high));
            vm::StringTextOut out;
            const int value = vm::cli::ComputeRiseTime(
                out, static_cast<std::uint16_t>(paramA), static_cast<std::uint8_t>(paramB),
                static_cast<std::uint16_t>(temperature), static_cast<std::uint8_t>(stepSize),
                static_cast<std::uint8_t>(torque));
            return py::make_tuple(value, out.text());
        },
        py::arg("param_a"), py::arg("param_b"), py::arg("temperature"), py::arg("step_size"),
        py::arg("torque"),
        "Rise time in microseconds and the warning text printed when the torque is not available.");
    m.def("sensor_value", &vm::cli::SensorValue, py::arg("reading"), py::arg("scale_factor"),
          "A raw sensor reading in metres or radians.");
    m.def("sample_time", &vm::cli::SampleTime, py::arg("n"), "Time in seconds of high-frequency sample n.");
    m.attr("SENSOR_ADDRESS_OFFSET") = vm::cli::kSensorAddressOffset;
    m.attr("DEFAULT_EXCITATION_HZ") = vm::cli::kDefaultExcitationHz;
    m.attr("MAX_SAMPLE_REQUESTS") = vm::cli::kMaxSampleRequests;
    m.attr("MAX_RECORDED_SAMPLES") = vm::cli::kMaxRecordedSamples;

    m.def("connect", &Device::Connect, py::arg("selector"), py::arg("port"), Release(),
          "A link to a real controller: no selector for the first USB controller.");
    m.def("connect_simulator", &Device::ConnectSimulator, py::arg("simulator"), Release(),
          "A link to an in-process simulator.");
}
