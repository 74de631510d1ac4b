#include "job/failure_text.h"

#include <cerrno>

#include "engine/base/engine_contract.h"

std::string systemFailureText(int errnum) {
    switch (errnum) {
    case ENOSPC:
    case EDQUOT:
        return "작업 볼륨 공간이 부족합니다 — 다른 볼륨을 고르세요";
    case EROFS:
        return "작업 볼륨이 읽기 전용입니다 — 쓸 수 있는 다른 볼륨을 고르세요";
    case EACCES:
    case EPERM:
        return "이 위치에 쓰거나 읽을 권한이 없습니다 — 작업 볼륨과 파일의 권한을 확인하세요";
    case EISDIR:
        return "파일이 있어야 할 자리에 폴더가 있습니다 — 작업 폴더를 확인하세요";
    case ENOTDIR:
        return "폴더가 있어야 할 자리에 파일이 있습니다 — 작업 볼륨을 다시 고르세요";
    case EEXIST:
        return "같은 이름의 파일이 이미 있습니다 — 작업 폴더를 확인하세요";
    case ELOOP:
        return "작업 폴더에 링크가 있어 쓰지 않았습니다 — 작업 폴더를 확인하세요";
    case ENOENT:
        return "파일이나 폴더를 찾을 수 없습니다 — 카드와 작업 볼륨이 연결되어 있는지 확인하세요";
    case EIO:
        return "입출력 오류가 났습니다 — 카드와 작업 볼륨의 연결을 확인하세요";
    case ENODEV:
    case ENXIO:
        return "장치가 분리되었습니다 — 카드와 작업 볼륨의 연결을 확인하세요";
    case EFBIG:
        return "파일이 이 볼륨이 담을 수 있는 크기를 넘습니다 — exFAT처럼 큰 파일을 담는 볼륨을 고르세요";
    case ENAMETOOLONG:
        return "경로가 너무 깁니다 — 더 짧은 경로의 작업 볼륨을 고르세요";
    case ENOMEM:
        return "메모리가 부족합니다 — 다른 프로그램을 닫고 다시 시도하세요";
    case EMFILE:
    case ENFILE:
        return "열린 파일이 너무 많습니다 — 다른 작업이 끝난 뒤 다시 시도하세요";
    default:
        return "시스템 오류가 났습니다 — 카드와 작업 볼륨을 확인하고 다시 시도하세요";
    }
}


std::string engineFailureText(int status) {
    switch (status) {
    case engine_contract::kExitUsage:
        return "복구 엔진을 잘못 불렀습니다 — 프로그램을 다시 설치해 보세요";
    case engine_contract::kExitReference:
        return "참조 파일을 읽을 수 없거나 손상되었습니다 — 같은 카메라로 찍은 다른 파일을 참조로 고르세요";
    case engine_contract::kExitInput:
        return "RSV 파일에서 복구할 영상을 찾지 못했습니다 — 녹화가 너무 짧거나 손상되었습니다";
    case engine_contract::kExitOutput:
        return "복구본을 쓸 수 없습니다 — 작업 볼륨과 작업 폴더를 확인하세요";
    case engine_contract::kExitIo:
        return "읽기 또는 쓰기 오류가 났습니다 — 카드와 작업 볼륨의 연결을 확인하세요";
    case engine_contract::kExitOutOfMemory:
        return "메모리가 부족합니다 — 다른 프로그램을 닫고 다시 시도하세요";
    case engine_contract::kExitReferenceMismatch:
        return "참조 파일이 이 녹화와 설정이 다릅니다 — 같은 카메라, 같은 설정으로 찍은 파일을 참조로 고르세요";
    case engine_contract::kExitReferenceFormat:
        return "참조 파일의 형식이 녹화와 다릅니다 — 녹화와 같은 형식(MP4 또는 MXF)의 파일을 참조로 고르세요";
    case engine_contract::kExitReferenceNeeded:
        return "참조 파일이 필요합니다 — 같은 카메라로 찍은 파일을 참조로 고르세요";
    case engine_contract::kExitNoSpace:
        return "작업 볼륨 공간이 부족합니다 — 다른 볼륨을 고르세요";
    default:
        return "복구 엔진이 예기치 않게 끝났습니다 — 다시 시도해 보세요";
    }
}

std::string failureKind(const std::string& domain, int code) {
    if (domain == "system") {
        switch (code) {
        case ENOSPC: case EDQUOT: case EFBIG: return "no_space";
        case ELOOP: return "link_in_path";
        case ENAMETOOLONG: return "name_too_long";
        case EIO: case ENODEV: case ENXIO: case ENOENT: return "copy_failed";
        default: return "other";
        }
    }
    if (domain == "copy") return code == 5 ? "not_regular_file" : "copy_failed";
    if (domain == "paths") return "link_in_path";
    if (domain == "card") return "card_is_work_volume";
    if (domain == "verify") return "verify_failed";
    if (domain == "untrunc") {
        switch (code) {
        case engine_contract::kExitReferenceMismatch: return "reference_mismatch";
        case engine_contract::kExitReferenceFormat: return "reference_format";
        case engine_contract::kExitReferenceNeeded: return "need_reference";
        case engine_contract::kExitNoSpace: return "no_space";
        default: return "engine_failed";
        }
    }
    return "other";
}
