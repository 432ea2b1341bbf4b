// The web view on WebKitGTK 6.0. Navigation and new-window decisions, window
// creation and media permission requests all go to the delegates; nothing
// here ever makes a second view, saves a file or shows an error page.
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/glib_log.h"
#include "platform/linux/gtk_view.h"
#include "platform/linux/renderer_choice.h"
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
        g_signal_connect(view_, "load-changed", G_CALLBACK(&LinuxWebView::onLoadChanged), this);
        g_signal_connect(view_, "load-failed", G_CALLBACK(&LinuxWebView::onLoadFailed), this);
        g_signal_connect(view_, "context-menu", G_CALLBACK(&LinuxWebView::onContextMenu), this);
        g_signal_connect(view_, "print", G_CALLBACK(&LinuxWebView::onPrint), this);
        g_signal_connect(view_, "run-file-chooser", G_CALLBACK(&LinuxWebView::onRunFileChooser), this);
        g_signal_connect(view_, "web-process-terminated", G_CALLBACK(&LinuxWebView::onWebProcessTerminated), this);
        session_ = WEBKIT_NETWORK_SESSION(g_object_ref(webkit_web_view_get_network_session(view_)));
        g_signal_connect(session_, "download-started", G_CALLBACK(&LinuxWebView::onDownloadStarted), this);
        installResponderActions();
    }

    ~LinuxWebView() override {
        g_signal_handlers_disconnect_by_data(session_, this);
        g_object_unref(session_);
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

    std::optional<URL> url() const override { return linux_backend::addressFromWebKit(webkit_web_view_get_uri(view_)); }

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
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
            // WebKit's own answer would save an attachment to disk; a response
            // the view cannot show, or one meant to be saved, is dropped and
            // the page stays.
            auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
            if (!webkit_response_policy_decision_is_mime_type_supported(response) ||
                isAttachment(webkit_response_policy_decision_get_response(response))) {
                webkit_policy_decision_ignore(decision);
            } else {
                webkit_policy_decision_use(decision);
            }
            return TRUE;
        }
        return FALSE;
    }

    static bool isAttachment(WebKitURIResponse* response) {
        SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response);
        char* disposition = nullptr;
        if (!headers || !soup_message_headers_get_content_disposition(headers, &disposition, nullptr)) return false;
        bool attachment = disposition && g_ascii_strcasecmp(disposition, "attachment") == 0;
        g_free(disposition);
        return attachment;
    }

    // A download can still start without a response decision (a link with a
    // "download" attribute, a script); it is cancelled before anything is
    // written, and a destination is never chosen for it.
    static void onDownloadStarted(WebKitNetworkSession*, WebKitDownload* download, gpointer) {
        g_signal_connect(download, "decide-destination", G_CALLBACK(+[](WebKitDownload* d, char*, gpointer) -> gboolean {
                             webkit_download_cancel(d);
                             return TRUE;
                         }),
                         nullptr);
        webkit_download_cancel(download);
    }

    // Downloading and inspecting are not offered: nothing is saved and the
    // developer tools are off.
    static gboolean onContextMenu(WebKitWebView*, WebKitContextMenu* menu, WebKitHitTestResult*, gpointer) {
        std::vector<WebKitContextMenuItem*> unwanted;
        for (GList* item = webkit_context_menu_get_items(menu); item; item = item->next) {
            auto* entry = WEBKIT_CONTEXT_MENU_ITEM(item->data);
            switch (webkit_context_menu_item_get_stock_action(entry)) {
                case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_LINK_TO_DISK:
                case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_IMAGE_TO_DISK:
                case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_VIDEO_TO_DISK:
                case WEBKIT_CONTEXT_MENU_ACTION_DOWNLOAD_AUDIO_TO_DISK:
                case WEBKIT_CONTEXT_MENU_ACTION_INSPECT_ELEMENT:
                    unwanted.push_back(entry);
                    break;
                default:
                    break;
            }
        }
        for (auto* entry : unwanted) webkit_context_menu_remove(menu, entry);
        return FALSE;
    }

    // A page's print request does nothing, as in a WKWebView whose
    // application implements no printing. WebKit's own answer is GTK's print
    // dialog, run in a main loop of its own that holds the program's end
    // while it is open, and its "Print to File" writes wherever it is told.
    static gboolean onPrint(WebKitWebView*, WebKitPrintOperation*, gpointer) { return TRUE; }

    // A file input's chooser, as WebKit's own but not modal: GTK drops the
    // close request of every other window in a modal dialog's group, and the
    // window's close must still end the program while the page waits for
    // its files. The request is answered once, whichever way the chooser
    // ends, and the dialog goes with the process.
    static gboolean onRunFileChooser(WebKitWebView* view, WebKitFileChooserRequest* request, gpointer) {
        GtkRoot* root = gtk_widget_get_root(GTK_WIDGET(view));
        GtkWindow* parent = root && GTK_IS_WINDOW(root) ? GTK_WINDOW(root) : nullptr;
        bool multiple = webkit_file_chooser_request_get_select_multiple(request);
        const char* title = multiple ? "Select Files" : "Select File";
        GtkFileFilter* filter = webkit_file_chooser_request_get_mime_types_filter(request);
        const char* const* selected = webkit_file_chooser_request_get_selected_files(request);
        GFile* initial = selected && selected[0] ? g_file_new_for_path(selected[0]) : nullptr;
        g_object_ref(request);
#if GTK_CHECK_VERSION(4, 10, 0)
        GtkFileDialog* dialog = gtk_file_dialog_new();
        gtk_file_dialog_set_title(dialog, title);
        gtk_file_dialog_set_modal(dialog, FALSE);
        if (filter) {
            GListStore* filters = g_list_store_new(GTK_TYPE_FILE_FILTER);
            g_list_store_append(filters, filter);
            gtk_file_dialog_set_filters(dialog, G_LIST_MODEL(filters));
            g_object_unref(filters);
        }
        if (initial) gtk_file_dialog_set_initial_file(dialog, initial);
        if (multiple) {
            gtk_file_dialog_open_multiple(dialog, parent, nullptr, +[](GObject* source, GAsyncResult* result, gpointer data) {
                GListModel* files = gtk_file_dialog_open_multiple_finish(GTK_FILE_DIALOG(source), result, nullptr);
                answerFileChooser(WEBKIT_FILE_CHOOSER_REQUEST(data), files);
                if (files) g_object_unref(files);
            }, request);
        } else {
            gtk_file_dialog_open(dialog, parent, nullptr, +[](GObject* source, GAsyncResult* result, gpointer data) {
                GFile* file = gtk_file_dialog_open_finish(GTK_FILE_DIALOG(source), result, nullptr);
                GListStore* files = g_list_store_new(G_TYPE_FILE);
                if (file) {
                    g_list_store_append(files, file);
                    g_object_unref(file);
                }
                answerFileChooser(WEBKIT_FILE_CHOOSER_REQUEST(data), G_LIST_MODEL(files));
                g_object_unref(files);
            }, request);
        }
        // The operation keeps the dialog until it has answered.
        g_object_unref(dialog);
#else
        GtkFileChooserNative* chooser =
            gtk_file_chooser_native_new(title, parent, GTK_FILE_CHOOSER_ACTION_OPEN, nullptr, nullptr);
        gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser), FALSE);
        if (filter) {
            gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
            gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(chooser), filter);
        }
        gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), multiple);
        if (initial) gtk_file_chooser_set_file(GTK_FILE_CHOOSER(chooser), initial, nullptr);
        g_signal_connect(chooser, "response", G_CALLBACK(+[](GtkNativeDialog* d, int response, gpointer data) {
                             GListModel* files = response == GTK_RESPONSE_ACCEPT
                                                     ? gtk_file_chooser_get_files(GTK_FILE_CHOOSER(d))
                                                     : nullptr;
                             answerFileChooser(WEBKIT_FILE_CHOOSER_REQUEST(data), files);
                             if (files) g_object_unref(files);
                             g_object_unref(d);
                         }),
                         request);
        gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser));
#endif
        if (initial) g_object_unref(initial);
        return TRUE;
    }

    // The page is given the local paths of what was chosen; nothing chosen,
    // or nothing with a local path, cancels. Takes the request's reference.
    static void answerFileChooser(WebKitFileChooserRequest* request, GListModel* files) {
        GPtrArray* paths = g_ptr_array_new_with_free_func(g_free);
        for (guint i = 0, n = files ? g_list_model_get_n_items(files) : 0; i < n; ++i) {
            auto* file = G_FILE(g_list_model_get_item(files, i));
            if (char* path = g_file_get_path(file)) g_ptr_array_add(paths, path);
            g_object_unref(file);
        }
        if (paths->len == 0) {
            webkit_file_chooser_request_cancel(request);
        } else {
            g_ptr_array_add(paths, nullptr);
            webkit_file_chooser_request_select_files(request, reinterpret_cast<const char* const*>(paths->pdata));
        }
        g_ptr_array_unref(paths);
        g_object_unref(request);
    }

    // The page that asks for devices is the one committed in the main frame;
    // while a load is pending, webkit_web_view_get_uri() already names the
    // next one.
    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        if (event != WEBKIT_LOAD_COMMITTED) return;
        auto* self = static_cast<LinuxWebView*>(data);
        self->committedPage_ = self->url();
        if (auto delegate = self->navigationDelegate_.lock()) delegate->didCommit(*self);
    }

    // Whatever ended the web process (a crash, a kill, WebKit ending one that
    // was redirected to a file: address), the view is left empty, with no
    // way back of its own.
    static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data) {
        auto* self = static_cast<LinuxWebView*>(data);
        if (auto delegate = self->navigationDelegate_.lock()) delegate->webContentProcessDidTerminate(*self);
    }

    // WebKit's default puts an error page in place of the committed one, and
    // the window has no way back: a load that fails (an address no handler
    // serves, a refused connection) leaves the page as it was.
    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, char*, GError*, gpointer) { return TRUE; }

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

        // The request names no origin; it comes from the page committed in
        // the main frame. Before any has committed there is no host, and the
        // user is asked.
        SecurityOrigin origin;
        if (self->committedPage_) origin.host = self->committedPage_->host;
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
    // without asking. It is not modal: GTK drops a close request to every
    // other window of a modal dialog's group, and the window's close must
    // still end the program while the question is open. It goes with the
    // window.
    static void askTheUser(WebKitPermissionRequest* request, GtkWidget* parent, const std::string& host,
                           MediaCaptureType type) {
        const char* devices = type == MediaCaptureType::cameraAndMicrophone ? "your camera and microphone"
                              : type == MediaCaptureType::camera            ? "your camera"
                                                                            : "your microphone";
        std::string who = host.empty() ? std::string("This page") : host;
        GtkRoot* root = gtk_widget_get_root(parent);
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        GtkWidget* dialog = gtk_message_dialog_new(root ? GTK_WINDOW(root) : nullptr,
                                                   GTK_DIALOG_DESTROY_WITH_PARENT,
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
    WebKitNetworkSession* session_;
    std::optional<URL> committedPage_;
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    std::weak_ptr<UIDelegate> uiDelegate_;
};

// The system's default application for the address's scheme. Whether it
// started is reported and otherwise ignored.
class LinuxWorkspace final : public Workspace {
public:
    // The renderer and GL switches this process chose for itself stay with
    // it; the application opened draws as it would have anyway.
    bool open(const URL& url) override {
        GAppLaunchContext* context = g_app_launch_context_new();
        for (const auto& name : linux_backend::variablesSetForThisProcess())
            g_app_launch_context_unsetenv(context, name.c_str());
        GError* error = nullptr;
        gboolean launched = g_app_info_launch_default_for_uri(url.absoluteString.c_str(), context, &error);
        g_clear_error(&error);
        g_object_unref(context);
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
        // Both on by default on the Mac and off by default here. Scripts that
        // open windows reach the new-window rule like links do.
        webkit_settings_set_enable_media_stream(settings, TRUE);
        webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
        if (linux_backend::webCompositing(linux_backend::machineRendererFacts()) == false)
            webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
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

// Whichever of the application and WebKit is made first starts the quiet log.
std::unique_ptr<WebKit> makeDefaultWebKit() {
    linux_backend::keepGLibLogOffStandardStreams();
    return std::make_unique<LinuxWebKit>();
}

}  // namespace pimorlo::platform
