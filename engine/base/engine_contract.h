// What the repair engine and the application agree on: the command line, the
// lines the engine prints, its exit statuses, and how its progress maps onto
// a job's percentage. The engine prints these texts and the application reads
// them; both include this one header so the two sides cannot drift apart.
//
// Header only, no dependencies: the engine executable stands on its own.
#pragma once

namespace engine_contract {

// Command-line flags.
constexpr char kFlagNoQuestions[] = "-n";       // accepted; the engine never asks
constexpr char kFlagRsv[] = "-rsv-ben";         // accepted; the input is a camera RSV
constexpr char kFlagOutput[] = "-dst";          // followed by the output path
constexpr char kFlagVerbose[] = "-v";
constexpr char kFlagNoReference[] = "-noref";   // repair without a reference clip
constexpr char kFlagDonor[] = "-donor";         // with -noref: a file lending parameter sets

// Lines on the engine's output. Progress is "<number>%" with carriage returns
// between updates; a log line never holds a '%' of its own.
constexpr char kInfoPrefix[] = "Info:";
constexpr char kInfoLead[] = "Info: ";          // what the engine writes before a log line
constexpr char kSavingWord[] = "saving ";       // log line: the output is about to be written
constexpr char kSavingLine[] = "Info: saving";  // the same line as the application sees it
constexpr char kDurationOf[] = "Duration of";   // one log line per written track
// Log line per time range damage took from one kind of track, in seconds of
// the result: "Info: lost video from 1.920 s to 2.400 s" (track: video,
// audio or metadata).
constexpr char kLostWord[] = "lost ";
constexpr char kLostLine[] = "Info: lost ";
constexpr char kErrorPrefix[] = "Error:";       // on stderr, before a non-zero exit
constexpr char kErrorLead[] = "Error: ";
// Without a reference: the fields a donor clip lent on trust (comma-separated
// English words) and the scaling-matrix set used ("donor", "flat" or
// "table:<body>", then a space and the reason in parentheses).
constexpr char kDonorFieldsLead[] = "Info: donor fields: ";
constexpr char kMatricesLead[] = "Info: scaling matrices: ";
// Log line after the output is written: whether the result shares the RSV's
// blocks (the footage was not written a second time) or holds a copy.
constexpr char kFootageSharedWord[] = "footage shared with the RSV: ";
constexpr char kFootageSharedLine[] = "Info: footage shared with the RSV:";
constexpr char kFootageWrittenWord[] = "footage written again: ";
constexpr char kFootageWrittenLine[] = "Info: footage written again:";
// Log line once every byte of the output is written, before it is flushed
// to the disk and read back: the file named after the colon, in the output's
// folder, is not written again, so the application may begin reading it; it
// is the result only if the engine then ends with success.
constexpr char kWrittenWord[] = "written, flushing: ";
constexpr char kWrittenLine[] = "Info: written, flushing: ";
constexpr char kFlatScalingLine[] = "Info: flat scaling matrices: no reference or donor supplied them";
// Log lines around a parameter-set search without a reference: while it
// runs, its figure moves with the time against its bound, and how long the
// rest of the job takes is not known.
constexpr char kSearchWord[] = "searching for the parameter sets";
constexpr char kSearchLine[] = "Info: searching for the parameter sets";
constexpr char kSearchDoneLine[] = "Info: parameter sets rebuilt from the slices";

// A copy still being written: the application may start the engine once a
// first stretch of the RSV is written and hand it one more descriptor
// (kFollowFd, a pipe or a stream socket) carrying ASCII records, one a line:
// "size N" first (the length the copy will have), then "written N" as the
// copy grows, and "complete N" once every byte is written and the file
// closed. The end of the records without "complete" means the copy failed:
// the engine then fails and names nothing. Without that descriptor the RSV
// is a complete file.
constexpr int kFollowFd = 5;
constexpr char kFollowSize[] = "size ";
constexpr char kFollowWritten[] = "written ";
constexpr char kFollowComplete[] = "complete ";

// Exit statuses.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitUsage = 1,
    kExitReference = 2,          // the reference cannot be read
    kExitInput = 3,              // the RSV cannot be read or holds nothing usable
    kExitOutput = 4,             // the output could not be written
    kExitIo = 5,
    kExitOutOfMemory = 9,
    kExitUnexpected = 10,
    kExitReferenceMismatch = 11, // the reference differs from the recording's settings
    kExitReferenceFormat = 12,   // MXF reference for an MP4-family RSV, or the other way round
    kExitReferenceNeeded = 13,   // the parameters cannot be settled without a reference
    kExitNoSpace = 14,           // the output volume is full
};

// The job's percentage bands: copying 0-33, the engine's walk 35-70, the
// engine writing its output 70-92, verification from 92.
constexpr int kCopyBandStart = 0;
constexpr int kCopyBandSpan = 33;
constexpr int kWalkBandStart = 35;
constexpr int kWalkBandSpan = 35;
constexpr int kSaveBandStart = 70;
constexpr int kSaveBandSpan = 22;
constexpr int kVerifyStart = 92;

// The job's percentage for the engine's own figure (0-100 within a phase);
// `saving` once the "Info: saving" line has been seen.
constexpr double jobPercent(double enginePercent, bool saving) {
    return saving ? enginePercent * kSaveBandSpan / 100 + kSaveBandStart
                  : enginePercent * kWalkBandSpan / 100 + kWalkBandStart;
}

}  // namespace engine_contract
