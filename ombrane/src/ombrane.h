// Declarations shared by the steps of Ombrane: the front end, the repair
// pipeline and its load, summary, verify and save steps.
#pragma once

#include <string>

#include "ombrane/platform/async.h"
#include "ombrane/platform/printing3d.h"

namespace ombrane {

using winrt::Windows::Foundation::IAsyncAction;
using winrt::Windows::Foundation::IAsyncOperation;
using winrt::Windows::Graphics::Printing3D::Printing3DModel;

// Starts the pipeline with its two paths; the front end waits for the action.
using PipelineStart = IAsyncAction (*)(std::wstring input_path, std::wstring output_path);

// Front end: banner, argument check, pipeline, failure line; the exit code
// 0 to 4. argv holds argc wide strings, argv[0] the program.
int RunFromWideArgs(int argc, wchar_t** argv);
// The same with another pipeline in place of RunPipelineAsync.
int RunFrontEnd(int argc, wchar_t** argv, PipelineStart start);

// The repair pipeline: argument lines, load, summary, verify, repair,
// summary, verify, save.
IAsyncAction RunPipelineAsync(std::wstring input_path, std::wstring output_path);

// The output path with ".3mf" appended unless it already ends in it, in any
// case.
std::wstring OutputNameWith3mf(const std::wstring& output_path);

// Loads the model of the 3MF file at path (relative to the working folder
// unless absolute). The caller keeps path alive until the operation ends.
IAsyncOperation<Printing3DModel> LoadModelFrom3mfFileAsync(const std::wstring& path);

// Six "[Model] " lines: tag, unit and the four counts.
void LogModelSummary(const Printing3DModel& model, const std::wstring& tag);

// "[Verify] " lines for every mesh. The caller keeps both alive until the
// action ends.
IAsyncAction VerifyModelMeshesAsync(const Printing3DModel& model, const std::wstring& tag);

// Saves the model as a 3MF package at path. The caller keeps both alive
// until the action ends.
IAsyncAction SaveModelToFileAsync(const Printing3DModel& model, const std::wstring& path);

}  // namespace ombrane
