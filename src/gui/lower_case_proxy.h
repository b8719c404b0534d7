// Shows the names of a model in lower case, as the directory tree does.
#pragma once

#include <QIdentityProxyModel>

namespace qv::gui {

class LowerCaseProxy : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;
  QVariant data(const QModelIndex& index, int role) const override {
    QVariant v = QIdentityProxyModel::data(index, role);
    if (role == Qt::DisplayRole && v.canConvert<QString>()) return v.toString().toLower();
    return v;
  }
};

}  // namespace qv::gui
