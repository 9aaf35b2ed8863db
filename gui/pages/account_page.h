#pragma once
// Tab 3, "账户": the account the service is logged in with (log out, switch account or log in), and
// the provider the service uses. The provider's settings are sent to the service, which checks them
// as morvanectl does and writes provider.conf itself: a member of the group morvane needs no root. The
// password is typed into a password field and never comes back; "测试" asks the service to look up
// the address and the account.
//
// The kinds come from kProviderKinds, whose entry says which fields each shows (server, account, secret,
// hosts, zone, TSIG key, TTL, proxied, success text); every kind shows the address source and the CA
// file. A secret (password, token, key) is never shown again; left empty it keeps the stored one for the
// same kind, account and server only.

#include <QWidget>

#include "shared/packet/status_records.h"

class CDnsListener;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;

class CAccountPage : public QWidget {
    Q_OBJECT
public:
    // Where the address comes from (the combo's index).
    enum Source { kSourceCheckIp = 0, kSourceInterface = 1, kSourceRouter = 2 };

    CAccountPage(CDnsListener* channel, QWidget* parent = nullptr);
    ~CAccountPage() override;

    // The account logged in; empty: none (the button then logs in).
    void SetAccount(const QString& user);
    // The service's provider.conf; `readable` false: the service could not read it.
    void ShowSettings(bool readable, const ProviderSettings& settings);
    // What the form says now, as it would be sent (hosts split at spaces and commas).
    ProviderSettings Settings() const;
    void ShowSaveResult(bool ok, const QString& problem);
    void ShowTestResult(bool ok, const QString& words);

    // "保存": sends the settings; "测试": asks for a test; both say when the request did not leave.
    void OnSave();
    void OnTest();
    // Shows the fields the chosen kind and source use.
    void ShowFields();

    QLabel* AccountLabel() const { return m_account; }
    QPushButton* LogOutButton() const { return m_logOut; }
    QPushButton* SwitchButton() const { return m_switch; }
    QComboBox* KindCombo() const { return m_kind; }
    QLineEdit* ServerEdit() const { return m_server; }
    QLineEdit* UserEdit() const { return m_user; }
    QLineEdit* PasswordEdit() const { return m_password; }
    QLineEdit* HostsEdit() const { return m_hosts; }
    QComboBox* SourceCombo() const { return m_source; }
    QLineEdit* CheckIpEdit() const { return m_checkIp; }
    QLineEdit* InterfaceEdit() const { return m_interface; }
    QCheckBox* RouterBox() const { return m_router; }
    QLineEdit* CaFileEdit() const { return m_caFile; }
    QLineEdit* ZoneEdit() const { return m_zone; }
    QLineEdit* KeyNameEdit() const { return m_keyName; }
    QComboBox* KeyAlgorithmCombo() const { return m_keyAlgorithm; }
    QSpinBox* TtlBox() const { return m_ttl; }
    QComboBox* ProxiedCombo() const { return m_proxied; }
    QLineEdit* SuccessEdit() const { return m_success; }
    QPushButton* SaveButton() const { return m_save; }
    QPushButton* TestButton() const { return m_test; }
    QLabel* ResultLabel() const { return m_result; }

signals:
    void logOutRequested();
    void switchRequested();
    // A request left for the service (CMD_SET_PROVIDER or CMD_TEST_PROVIDER).
    void sent(int command);

private:
    void SetResult(bool ok, const QString& text);

    CDnsListener* m_channel;
    bool m_loggedIn = false;
    bool m_passwordStored = false;
    QString m_storedUser;
    QString m_storedServer;
    QString m_storedKind;
    QString m_storedKeyName;
    QFormLayout* m_form = nullptr;
    QGroupBox* m_accountGroup;
    QLabel* m_account;
    QPushButton* m_logOut;
    QPushButton* m_switch;
    QGroupBox* m_providerGroup;
    QComboBox* m_kind;
    QLabel* m_serverLabel;
    QLineEdit* m_server;
    QLabel* m_userLabel;
    QLineEdit* m_user;
    QLabel* m_passwordLabel;
    QLineEdit* m_password;
    QLabel* m_hostsLabel;
    QLineEdit* m_hosts;
    QComboBox* m_source;
    QLabel* m_checkIpLabel;
    QLineEdit* m_checkIp;
    QLabel* m_interfaceLabel;
    QLineEdit* m_interface;
    QCheckBox* m_router;
    QLineEdit* m_caFile;
    QLineEdit* m_zone;
    QLineEdit* m_keyName;
    QComboBox* m_keyAlgorithm;
    QSpinBox* m_ttl;
    QComboBox* m_proxied;
    QLineEdit* m_success;
    QPushButton* m_save;
    QPushButton* m_test;
    QLabel* m_result;
};
