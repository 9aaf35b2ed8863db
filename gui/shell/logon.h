#pragma once
// Logging in: the login dialog shown at every start, and the login page that covers the main
// window while the login runs and after it failed.
//
// Remembered credentials are the first account of user.xml (name and password digest). While they
// are shown, the password field holds "***", which stands for the remembered digest.

#include <QDialog>
#include <QWidget>

#include <string>

class CHyperLink2;
class CStaticEx;
class CMorvaneMainDlg;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace gui {

inline constexpr const char* kRememberedPassword = "***";

// MD5 over the password's GB2312 bytes; empty when GB2312 cannot represent it.
std::string PasswordDigest(const QString& password);
QString UnrepresentablePasswordText();

// The password-recovery page for an account, the name percent-encoded.
QString RecoveryUrl(const QString& account);
// The registration page.
QString RegisterUrl();

}  // namespace gui

// The modal login dialog, "登录".
class CMorvaneLogon : public QDialog {
    Q_OBJECT
public:
    explicit CMorvaneLogon(const std::string& userFile, QWidget* parent = nullptr);

    // OK: refuses empty fields (label with the reason, dialog stays); otherwise fixes the account
    // and digest to log in with and ends the dialog. True when it ended.
    bool OnOK();
    // "找回密码": the recovery page for the account in the field.
    void OnRecoverPassword();

    // After OK: what to log in with.
    const std::string& Account() const { return m_account; }
    const std::string& Digest() const { return m_digest; }

    QComboBox* AccountBox() const { return m_accountBox; }
    QLineEdit* PasswordEdit() const { return m_password; }
    QLabel* ErrorLabel() const { return m_error; }
    CHyperLink2* RegisterLink() const { return m_register; }
    CStaticEx* RecoverText() const { return m_recover; }
    QCheckBox* RememberBox() const { return m_remember; }
    QCheckBox* AutoLoginBox() const { return m_autoLogin; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::string m_account;
    std::string m_digest;
    QComboBox* m_accountBox;
    QLineEdit* m_password;
    CHyperLink2* m_register;
    CStaticEx* m_recover;
    QCheckBox* m_remember;
    QCheckBox* m_autoLogin;
    QLabel* m_error;
    QPushButton* m_ok;
    QPushButton* m_cancel;
};

// The login page over the main window's client area.
class CMorvaneMainLogOnDlg : public QWidget {
    Q_OBJECT
public:
    enum Mode { kWaiting = 0, kFailed = 1, kLoggedIn = 3 };

    CMorvaneMainLogOnDlg(const std::string& userFile, CMorvaneMainDlg* owner);

    // In mode 1 the group caption is `caption`, or "用户名和密码出错" when it is empty.
    void SetMode(int mode, const QString& caption = QString());
    // The login that was tried: its account shows, and "***" (its digest) where it was not
    // `refused` by the provider or is the remembered pair; otherwise the password field is empty.
    void SetAttempt(const std::string& account, const std::string& digest, bool refused);
    // The pair user.xml now remembers (after a successful login).
    void SetRemembered(const std::string& account, const std::string& digest);
    int Mode() const { return m_mode; }
    // Places the controls for the mode (nothing in mode 3).
    void Layout();

    // OK (retry after a failure): refuses empty fields in the group caption; otherwise logs in
    // through the main window. True when a login request was started.
    bool OnOK();
    // Cancel: back to the pages while logged in (a switch of account given up), else closes the
    // main window.
    void OnCancel();

    QGroupBox* Group() const { return m_group; }
    QComboBox* AccountBox() const { return m_accountBox; }
    QLineEdit* PasswordEdit() const { return m_password; }
    QPushButton* ProgressButton() const { return m_progress; }
    QPushButton* OkButton() const { return m_ok; }
    QPushButton* CancelButton() const { return m_cancel; }
    // "服务商...": the account page, where the provider is chosen (a dyndns2 account first).
    QPushButton* ProviderButton() const { return m_provider; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    CMorvaneMainDlg* m_owner;
    int m_mode = kWaiting;
    std::string m_account;
    std::string m_digest;
    std::string m_rememberedAccount;
    std::string m_rememberedDigest;
    QGroupBox* m_group;
    QLabel* m_accountLabel;
    QComboBox* m_accountBox;
    QLabel* m_passwordLabel;
    QLineEdit* m_password;
    QPushButton* m_ok;
    QPushButton* m_cancel;
    QPushButton* m_progress;
    QPushButton* m_provider;
};
