// The executable's version strings as a component.
#include "VersionInfoUnit.h"

#include "platform/version_block.h"

TrpVersionInfo* version_info = nullptr;

TrpVersionInfo::TrpVersionInfo(QObject* owner) : TrpVersionInfo(owner, executable_path()) {}

TrpVersionInfo::TrpVersionInfo(QObject* owner, std::string exe_path)
    : QObject(owner), exe_path_(std::move(exe_path)) {
  // Read once: later changes to the file are not seen.
  TrpVersionInfo::ReadVersionInfo();
}

QString TrpVersionInfo::GetVersionString(TVersionType index) const {
  return QString::fromStdString(strings_.get_version_string(index));
}

void TrpVersionInfo::ReadVersionInfo() { strings_.read_version_info(exe_path_); }

QString TrpVersionInfo::CompanyName() const { return GetVersionString(vtCompanyName); }
QString TrpVersionInfo::FileDescription() const { return GetVersionString(vtFileDescription); }
QString TrpVersionInfo::FileVersion() const { return GetVersionString(vtFileVersion); }
QString TrpVersionInfo::InternalName() const { return GetVersionString(vtInternalName); }
QString TrpVersionInfo::LegalCopyright() const { return GetVersionString(vtLegalCopyright); }
QString TrpVersionInfo::LegalTradeMark() const { return GetVersionString(vtLegalTradeMark); }
QString TrpVersionInfo::OriginalFileName() const { return GetVersionString(vtOriginalFileName); }
QString TrpVersionInfo::ProductName() const { return GetVersionString(vtProductName); }
QString TrpVersionInfo::ProductVersion() const { return GetVersionString(vtProductVersion); }
QString TrpVersionInfo::Comments() const { return GetVersionString(vtComments); }
