// Shows the names of a folder model in lower case, as the directory tree
// does; the folder that stands for C:\ is shown as "c:\". Only the name
// column is kept (screen readers then report one column), and each name's
// tooltip is the folder's whole path in its program form.
#pragma once

#include <QFileSystemModel>
#include <QSortFilterProxyModel>

#include "platform/paths.h"

namespace qv::gui {

class LowerCaseProxy : public QSortFilterProxyModel {
 public:
  explicit LowerCaseProxy(QObject* parent = nullptr) : QSortFilterProxyModel(parent) {
    setSortCaseSensitivity(Qt::CaseInsensitive);
    setRecursiveFilteringEnabled(false);
  }
  void set_drive_root(const QString& path) { drive_root_ = path; }
  QVariant data(const QModelIndex& index, int role) const override {
    auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
    if (role == Qt::ToolTipRole && files) {
      const std::string path = files->filePath(mapToSource(index)).toStdString();
      return QString::fromStdString(platform::readable_message(path)).toLower();
    }
    QVariant v = QSortFilterProxyModel::data(index, role);
    if (role != Qt::DisplayRole || !v.canConvert<QString>()) return v;
    if (files && !drive_root_.isEmpty() && files->filePath(mapToSource(index)) == drive_root_)
      return QStringLiteral("c:\\");
    return v.toString().toLower();
  }

 protected:
  bool filterAcceptsColumn(int column, const QModelIndex&) const override { return column == 0; }

 private:
  QString drive_root_;
};

}  // namespace qv::gui
