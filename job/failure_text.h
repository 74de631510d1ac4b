// Every Korean sentence with which a job or a request fails, and the short
// ASCII kind that travels beside it to the page ("error_kind"), so the page
// never has to read Korean to tell failures apart.
//
// The user must learn from the first words what happened and what to do. The
// system's or the engine's own (English) text never joins the sentence: it
// goes to the job's log, shown behind "자세히". Pure functions and constants;
// any thread.
#pragma once

#include <string>

namespace failure {

// Refusals of the "recover" request.
inline constexpr char kCheckPaths[] = "경로를 확인하세요";
inline constexpr char kAlreadyRunning[] = "이미 복구 중인 파일입니다";
inline constexpr char kNoVolume[] = "작업 볼륨을 고르세요 — 복구본을 저장할 볼륨이 정해지지 않았습니다";
inline constexpr char kVolumeMissing[] = "작업 볼륨을 찾을 수 없습니다 — 작업 볼륨을 다시 고르세요";
inline constexpr char kRsvNotFile[] = "RSV가 일반 파일이 아닙니다 — 카드에 있는 RSV 파일을 고르세요";
inline constexpr char kDonorNotFile[] =
    "같은 카메라로 찍은 파일로 고른 것이 일반 파일이 아닙니다 — MP4, MOV 또는 MXF 파일을 고르세요";
inline constexpr char kRefNotFile[] =
    "참조 파일이 일반 파일이 아닙니다 — 같은 카메라로 찍은 MP4, MOV 또는 MXF 파일을 고르세요";
inline constexpr char kCardIsWorkVolume[] =
    "카드에는 쓰지 않습니다 — RSV가 있는 카드가 아닌 다른 작업 볼륨을 고르세요";
inline constexpr char kIncompleteCopy[] =
    "끝까지 복사되지 않은 사본입니다 — 카드에 있는 원래 RSV로 복구하세요";
inline constexpr char kSpaceLead[] = "작업 볼륨 여유공간 부족 — ";  // + size + kSpaceTail
inline constexpr char kSpaceTail[] = " 이상 필요";

// The "cancel" request.
inline constexpr char kNoSuchJob[] = "취소할 작업을 찾을 수 없습니다";
inline constexpr char kJobFinished[] = "이미 끝난 작업입니다";

// The work folder.
inline constexpr char kLinkedFolder[] = "작업 폴더가 링크입니다 — 링크를 치우거나 다른 작업 볼륨을 고르세요";
inline constexpr char kLinkInFolder[] = "작업 폴더에 링크가 있어 쓰지 않았습니다 — 작업 폴더를 확인하세요: ";

// The copy.
inline constexpr char kCannotOpen[] = "복사 스트림을 열 수 없습니다";
inline constexpr char kReadError[] = "읽기 오류 — 카드 연결을 확인하세요";
inline constexpr char kWriteError[] = "쓰기 오류 — 작업 볼륨 공간을 확인하세요";
inline constexpr char kCutShort[] = "복사가 중간에 끊겼습니다 — 카드 연결을 확인하세요";
inline constexpr const char* kNotRegular = kRsvNotFile;

// The engine.
inline constexpr char kNoEngine[] = "복구 엔진을 찾을 수 없습니다";

// The verification.
inline constexpr char kNoDuration[] = "복구본 길이를 읽을 수 없습니다";
inline constexpr char kFramesLead[] = "프레임 검증 실패 — ";  // + n + kFramesTail
inline constexpr char kFramesTail[] = "/3 지점만 디코딩됨";
inline constexpr char kNoCleanPicture[] =
    "복구본의 영상이 모두 손상되어 있습니다 — 같은 카메라로 찍은 다른 파일을 참조로 골라 다시 복구해 보세요";
inline constexpr char kWrongPictureSize[] =
    "복구본의 화면 크기가 녹화와 다릅니다 — 참조 파일이 이 녹화와 맞지 않습니다. 같은 카메라, 같은 설정으로 찍은 파일을 "
    "참조로 고르세요";

// Anything else.
inline constexpr char kUnexpected[] = "예기치 않은 오류가 났습니다 — 다시 시도해 보세요";
inline constexpr char kUnknown[] = "알 수 없는 오류";

}  // namespace failure

// What an error the operating system reported (an errno value) means for a
// recovery: mostly the work volume (full, read-only, not ours to write), the
// card (gone, unreadable) or a link or folder where a file must go.
std::string systemFailureText(int errnum);

// What an exit status of the repair engine means (its contract's statuses);
// an unknown one gets a general sentence.
std::string engineFailureText(int status);

// The page's word for a failure raised with `domain` and `code` (see
// JobError): "no_space", "link_in_path", "engine_failed", ... (the list the
// page knows); "other" for anything it need not tell apart.
std::string failureKind(const std::string& domain, int code);
