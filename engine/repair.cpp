#include "repair.h"

#include "base/errors.h"
#include "mxf/mxf_repair.h"
#include "noref/noref.h"
#include "rsv/rsv_repair.h"
#include "output/output_file.h"
#include "mp4/reference.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tv {
namespace {

using Kind = EngineError::Kind;

std::string parentDir(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Nothing that exists is ever written over: not the inputs, not an earlier
// repaired file (the one verified copy the user may have), not through a link.
void checkOutputPath(const std::string& out) {
    if (out.empty()) throw EngineError(Kind::Usage, "no output path given (-dst)");
    OutputFile::checkFree(out);
    std::string dir = parentDir(out);
    if (::access(dir.c_str(), W_OK) != 0)
        throw EngineError(Kind::Output, "cannot write to the output folder " + dir + ": " +
                                            std::strerror(errno));
}

}  // namespace

RepairSummary runRepair(const RepairOptions& opt, Reporter& rep) {
    std::unique_ptr<FileSource> refFile;
    if (!opt.noReference) refFile = FileSource::open(opt.reference, int(Kind::Reference));
    // The RSV may still be being copied: reads then wait for the copy.
    std::shared_ptr<CopyFrontier> copy = CopyFrontier::inherited(engine_contract::kFollowFd);
    auto rsvFile = FileSource::open(opt.rsv, int(Kind::Input), copy);
    checkOutputPath(opt.output);
    // An MXF-family RSV without a reference relies on its own header metadata.
    // Its pictures are rewritten piece by piece from the whole file: it waits
    // for the copy to complete.
    if (isMxfFamily(*rsvFile)) {
        rsvFile->awaitComplete();
        return runMxfRepair(opt, *rsvFile, refFile.get(), rep);
    }
    if (refFile && isMxfFamily(*refFile))
        throw EngineError(Kind::ReferenceFormat, "the reference is an MXF file but the RSV is an MP4-family "
                                                 "recording; choose a finished MP4 from the same camera");

    // Without a reference the parameter-set search and the walk share the walk's
    // progress: the search takes the first half.
    const double walkFrom = refFile ? 0 : 50;
    BandReporter searchBand(rep, 0, walkFrom), walkBand(rep, walkFrom, 100);
    Reference ref = refFile ? parseReference(*refFile) : referenceFromRecording(*rsvFile, opt.donor, searchBand);
    return runRsvRepair(opt, *rsvFile, refFile.get(), ref, walkBand, rep);
}

}  // namespace tv
