// The web view on WebKitGTK 6.0. Navigation and new-window decisions, window
// creation and media permission requests all go to the delegates; nothing
// here ever makes a second view.
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <string>
#include <utility>

#include "platform/linux/gtk_view.h"
#include "platform/linux/url_glib.h"
#include "platform/webview.h"

namespace pimorlo::platform {
namespace {

using linux_backend::GtkBackedView;

// The request as WebKit made it, kept whole so that it can be loaded again.
std::shared_ptr<const void> keepRequest(WebKitURIRequest* request) {
    g_object_ref(request);
    return std::shared_ptr<const void>(request, [](const void* p) { g_object_unref(const_cast<void*>(p)); });
}

NavigationAction navigationActionFrom(WebKitNavigationAction* action) {
    NavigationAction result;
    WebKitURIRequest* request = webkit_navigation_action_get_request(action);
    if (!request) return result;
    result.request.url = linux_backend::addressFromWebKit(webkit_uri_request_get_uri(request));
    result.request.native = keepRequest(request);
    return result;
}

class LinuxWebView final : public WebView, public GtkBackedView {
public:
    explicit LinuxWebView(WebKitSettings* settings) {
        view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings, nullptr));
        g_object_ref_sink(view_);
        g_signal_connect(view_, "decide-policy", G_CALLBACK(&LinuxWebView::onDecidePolicy), this);
        g_signal_connect(view_, "create", G_CALLBACK(&LinuxWebView::onCreate), this);
        g_signal_connect(view_, "permission-request", G_CALLBACK(&LinuxWebView::onPermissionRequest), this);
        installResponderActions();
    }

    ~LinuxWebView() override {
        g_signal_handlers_disconnect_by_data(view_, this);
        g_object_unref(view_);
    }

    GtkWidget* widget() const override { return GTK_WIDGET(view_); }

    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) override {
        navigationDelegate_ = std::move(delegate);
    }
    void setUIDelegate(std::weak_ptr<UIDelegate> delegate) override { uiDelegate_ = std::move(delegate); }

    // Following the window's size is GTK's expand flags.
    void setAutoresizingMask(unsigned long mask) override {
        gtk_widget_set_hexpand(GTK_WIDGET(view_), (mask & AutoresizingMask::widthSizable) != 0);
        gtk_widget_set_vexpand(GTK_WIDGET(view_), (mask & AutoresizingMask::heightSizable) != 0);
    }

    // WebKitGTK has no per-request cache policy or timeout: the protocol's
    // cache policy is its only behaviour, and the network stack's own timeouts
    // apply.
    void load(const URLRequest& request) override {
        if (request.native) {
            webkit_web_view_load_request(
                view_, const_cast<WebKitURIRequest*>(static_cast<const WebKitURIRequest*>(request.native.get())));
            return;
        }
        if (!request.url) return;
        WebKitURIRequest* fresh = webkit_uri_request_new(request.url->absoluteString.c_str());
        webkit_web_view_load_request(view_, fresh);
        g_object_unref(fresh);
    }

private:
    // WebKit has no undo or redo of its own on these keys; the menu's actions
    // reach the view through this group.
    void installResponderActions() {
        static const std::pair<const char*, const char*> commands[] = {
            {"undo", WEBKIT_EDITING_COMMAND_UNDO},   {"redo", WEBKIT_EDITING_COMMAND_REDO},
            {"cut", WEBKIT_EDITING_COMMAND_CUT},     {"copy", WEBKIT_EDITING_COMMAND_COPY},
            {"paste", WEBKIT_EDITING_COMMAND_PASTE}, {"selectAll", WEBKIT_EDITING_COMMAND_SELECT_ALL},
        };
        GSimpleActionGroup* group = g_simple_action_group_new();
        for (const auto& [name, command] : commands) {
            GSimpleAction* action = g_simple_action_new(name, nullptr);
            g_object_set_data(G_OBJECT(action), "pimorlo-command", const_cast<char*>(command));
            g_signal_connect(action, "activate", G_CALLBACK(+[](GSimpleAction* a, GVariant*, gpointer view) {
                                 auto* editing = static_cast<const char*>(g_object_get_data(G_OBJECT(a), "pimorlo-command"));
                                 webkit_web_view_execute_editing_command(WEBKIT_WEB_VIEW(view), editing);
                             }),
                             view_);
            g_action_map_add_action(G_ACTION_MAP(group), G_ACTION(action));
            g_object_unref(action);
        }
        gtk_widget_insert_action_group(GTK_WIDGET(view_), linux_backend::responderActionGroup, G_ACTION_GROUP(group));
        g_object_unref(group);
    }

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer data) {
        auto* self = static_cast<LinuxWebView*>(data);
        if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
            auto delegate = self->navigationDelegate_.lock();
            if (!delegate) {
                // Nobody left to judge it: nothing loads.
                webkit_policy_decision_ignore(decision);
                return TRUE;
            }
            auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
            NavigationAction action = navigationActionFrom(webkit_navigation_policy_decision_get_navigation_action(navigation));
            g_object_ref(decision);
            delegate->decidePolicyFor(*self, action, [decision, answered = false](NavigationActionPolicy policy) mutable {
                if (answered) return;
                answered = true;
                if (policy == NavigationActionPolicy::allow)
                    webkit_policy_decision_use(decision);
                else
                    webkit_policy_decision_ignore(decision);
                g_object_unref(decision);
            });
            return TRUE;
        }
        if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            // A link aimed at a new window. The request goes through the same
            // rule as window.open(); the new window itself is always refused.
            auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
            self->askForNewWindow(webkit_navigation_policy_decision_get_navigation_action(navigation));
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
        return FALSE;
    }

    static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* navigation, gpointer data) {
        static_cast<LinuxWebView*>(data)->askForNewWindow(navigation);
        return nullptr;
    }

    // Only one view exists; a view a delegate might offer has no window to go
    // to, so none is ever shown.
    void askForNewWindow(WebKitNavigationAction* navigation) {
        auto delegate = uiDelegate_.lock();
        if (!delegate) return;
        WebViewConfiguration configuration;
        delegate->createWebViewWith(*this, configuration, navigationActionFrom(navigation), WindowFeatures{});
    }

    static gboolean onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request, gpointer data) {
        auto* self = static_cast<LinuxWebView*>(data);
        if (!WEBKIT_IS_USER_MEDIA_PERMISSION_REQUEST(request)) return FALSE;
        auto* media = WEBKIT_USER_MEDIA_PERMISSION_REQUEST(request);
        bool audio = webkit_user_media_permission_is_for_audio_device(media);
        bool video = webkit_user_media_permission_is_for_video_device(media);
        // Screen sharing is not a camera or microphone request.
        if (!audio && !video) return FALSE;
        auto delegate = self->uiDelegate_.lock();
        if (!delegate) {
            webkit_permission_request_deny(request);
            return TRUE;
        }

        // The request names no origin; it comes from the page the view shows.
        SecurityOrigin origin;
        if (auto url = linux_backend::addressFromWebKit(webkit_web_view_get_uri(self->view_))) origin.host = url->host;
        MediaCaptureType type = audio && video ? MediaCaptureType::cameraAndMicrophone
                                : video        ? MediaCaptureType::camera
                                               : MediaCaptureType::microphone;
        g_object_ref(request);
        GtkWidget* parent = GTK_WIDGET(self->view_);
        delegate->requestMediaCapturePermissionFor(
            *self, origin, FrameInfo{}, type,
            [request, parent, host = origin.host.value_or(""), type, answered = false](PermissionDecision decision) mutable {
                if (answered) return;
                answered = true;
                switch (decision) {
                    case PermissionDecision::grant:
                        webkit_permission_request_allow(request);
                        break;
                    case PermissionDecision::deny:
                        webkit_permission_request_deny(request);
                        break;
                    case PermissionDecision::prompt:
                        askTheUser(request, parent, host, type);
                        break;
                }
                g_object_unref(request);
            });
        return TRUE;
    }

    // The platform's usual prompt: the user decides, the program never denies
    // without asking.
    static void askTheUser(WebKitPermissionRequest* request, GtkWidget* parent, const std::string& host,
                           MediaCaptureType type) {
        const char* devices = type == MediaCaptureType::cameraAndMicrophone ? "your camera and microphone"
                              : type == MediaCaptureType::camera            ? "your camera"
                                                                            : "your microphone";
        std::string who = host.empty() ? std::string("This page") : host;
        GtkRoot* root = gtk_widget_get_root(parent);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        GtkWidget* dialog = gtk_message_dialog_new(root ? GTK_WINDOW(root) : nullptr,
                                                   static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                                   GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE, "%s wants to use %s.",
                                                   who.c_str(), devices);
        gtk_dialog_add_buttons(GTK_DIALOG(dialog), "Deny", GTK_RESPONSE_REJECT, "Allow", GTK_RESPONSE_ACCEPT, nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_REJECT);
        g_object_ref(request);
        g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer r) {
                             auto* pending = WEBKIT_PERMISSION_REQUEST(r);
                             if (response == GTK_RESPONSE_ACCEPT)
                                 webkit_permission_request_allow(pending);
                             else
                                 webkit_permission_request_deny(pending);
                             g_object_unref(pending);
                             gtk_window_destroy(GTK_WINDOW(d));
                         }),
                         request);
        G_GNUC_END_IGNORE_DEPRECATIONS
        gtk_window_set_title(GTK_WINDOW(dialog), "Camera and microphone");
        gtk_window_present(GTK_WINDOW(dialog));
    }

    WebKitWebView* view_;
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    std::weak_ptr<UIDelegate> uiDelegate_;
};

// The system's default application for the address's scheme. Whether it
// started is reported and otherwise ignored.
class LinuxWorkspace final : public Workspace {
public:
    bool open(const URL& url) override {
        GError* error = nullptr;
        gboolean launched = g_app_info_launch_default_for_uri(url.absoluteString.c_str(), nullptr, &error);
        g_clear_error(&error);
        return launched;
    }
};

class LinuxWebKit final : public WebKit {
public:
    std::optional<URL> urlFromString(std::string_view text) const override { return linux_backend::urlFromString(text); }

    // The frame is the view's first size; in GTK the window's layout gives it.
    std::shared_ptr<WebView> makeWebView(Rect, const WebViewConfiguration& configuration) override {
        WebKitSettings* settings = webkit_settings_new();
        auto developerExtras = configuration.preferences.values.find("developerExtrasEnabled");
        if (developerExtras != configuration.preferences.values.end())
            webkit_settings_set_enable_developer_extras(settings, developerExtras->second);
        if (configuration.defaultWebpagePreferences)
            webkit_settings_set_enable_javascript_markup(settings,
                                                         configuration.defaultWebpagePreferences->allowsContentJavaScript);
        // On by default on the Mac; off by default here.
        webkit_settings_set_enable_media_stream(settings, TRUE);
#ifdef PIMORLO_MOCK_CAPTURE_DEVICES
        webkit_settings_set_enable_mock_capture_devices(settings, TRUE);
#endif
        auto view = std::make_shared<LinuxWebView>(settings);
        g_object_unref(settings);
        return view;
    }

    Workspace& sharedWorkspace() override { return workspace_; }

private:
    LinuxWorkspace workspace_;
};

}  // namespace

std::unique_ptr<WebKit> makeDefaultWebKit() { return std::make_unique<LinuxWebKit>(); }

}  // namespace pimorlo::platform
