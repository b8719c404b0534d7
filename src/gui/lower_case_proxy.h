// Shows the names of a folder model in lower case, as the directory tree
// does; the folder that stands for C:\ is shown as "c:\".
#pragma once

#include <QFileSystemModel>
#include <QIdentityProxyModel>

namespace qv::gui {

class LowerCaseProxy : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  void set_drive_root(const QString& path) { drive_root_ = path; }
  QVariant data(const QModelIndex& index, int role) const override {
    QVariant v = QIdentityProxyModel::data(index, role);
    if (role != Qt::DisplayRole || !v.canConvert<QString>()) return v;
    if (auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
        files && !drive_root_.isEmpty() && files->filePath(mapToSource(index)) == drive_root_)
      return QStringLiteral("c:\\");
    return v.toString().toLower();
  }

 private:
  QString drive_root_;
};

}  // namespace qv::gui
