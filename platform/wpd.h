// Declarations of the Windows Portable Devices client API that mingw-w64 does
// not ship: the six WPD interfaces, their CLSIDs, and the property keys and
// GUIDs kivo uses. Where the Windows SDK headers are present they are used
// instead, so the same sources build with either toolchain.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <propkeydef.h>
#include <portabledevicetypes.h>

#if __has_include(<PortableDeviceApi.h>) && __has_include(<PortableDevice.h>)
#include <PortableDeviceApi.h>
#include <PortableDevice.h>
#define KIVO_HAVE_SDK_WPD 1
#else

struct IPortableDeviceContent;
struct IPortableDeviceProperties;
struct IPortableDeviceResources;
struct IEnumPortableDeviceObjectIDs;
struct IPortableDeviceCapabilities;
struct IPortableDeviceEventCallback;

// Each interface lists its methods in vtable order; a slot out of place
// calls the wrong function on a real Windows.
MIDL_INTERFACE("a1567595-4c2f-4574-a6fa-ecef917b9a40")
IPortableDeviceManager : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDevices(LPWSTR *pPnPDeviceIDs, DWORD *pcPnPDeviceIDs) = 0;
    virtual HRESULT STDMETHODCALLTYPE RefreshDeviceList() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceFriendlyName(LPCWSTR pszPnPDeviceID, WCHAR *pDeviceFriendlyName,
                                                            DWORD *pcchDeviceFriendlyName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceDescription(LPCWSTR pszPnPDeviceID, WCHAR *pDeviceDescription,
                                                           DWORD *pcchDeviceDescription) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceManufacturer(LPCWSTR pszPnPDeviceID, WCHAR *pDeviceManufacturer,
                                                            DWORD *pcchDeviceManufacturer) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeviceProperty(LPCWSTR pszPnPDeviceID, LPCWSTR pszDevicePropertyName,
                                                        BYTE *pData, DWORD *pcbData, DWORD *pdwType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPrivateDevices(LPWSTR *pPnPDeviceIDs, DWORD *pcPnPDeviceIDs) = 0;
};

MIDL_INTERFACE("625e2df8-6392-4cf0-9ad1-3cfa5f17775c")
IPortableDevice : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Open(LPCWSTR pszPnPDeviceID, IPortableDeviceValues *pClientInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE SendCommand(const DWORD dwFlags, IPortableDeviceValues *pParameters,
                                                  IPortableDeviceValues **ppResults) = 0;
    virtual HRESULT STDMETHODCALLTYPE Content(IPortableDeviceContent **ppContent) = 0;
    virtual HRESULT STDMETHODCALLTYPE Capabilities(IPortableDeviceCapabilities **ppCapabilities) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE Advise(const DWORD dwFlags, IPortableDeviceEventCallback *pCallback,
                                             IPortableDeviceValues *pParameters, LPWSTR *ppszCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(LPCWSTR pszCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPnPDeviceID(LPWSTR *ppszPnPDeviceID) = 0;
};

MIDL_INTERFACE("6a96ed84-7c73-4480-9938-bf5af477d426")
IPortableDeviceContent : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE EnumObjects(const DWORD dwFlags, LPCWSTR pszParentObjectID,
                                                  IPortableDeviceValues *pFilter,
                                                  IEnumPortableDeviceObjectIDs **ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE Properties(IPortableDeviceProperties **ppProperties) = 0;
    virtual HRESULT STDMETHODCALLTYPE Transfer(IPortableDeviceResources **ppResources) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateObjectWithPropertiesOnly(IPortableDeviceValues *pValues,
                                                                     LPWSTR *ppszObjectID) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateObjectWithPropertiesAndData(IPortableDeviceValues *pValues,
                                                                        IStream **ppData,
                                                                        DWORD *pdwOptimalWriteBufferSize,
                                                                        LPWSTR *ppszCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete(const DWORD dwOptions, IPortableDevicePropVariantCollection *pObjectIDs,
                                             IPortableDevicePropVariantCollection **ppResults) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetObjectIDsFromPersistentUniqueIDs(
        IPortableDevicePropVariantCollection *pPersistentUniqueIDs,
        IPortableDevicePropVariantCollection **ppObjectIDs) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE Move(IPortableDevicePropVariantCollection *pObjectIDs,
                                           LPCWSTR pszDestinationFolderObjectID,
                                           IPortableDevicePropVariantCollection **ppResults) = 0;
    virtual HRESULT STDMETHODCALLTYPE Copy(IPortableDevicePropVariantCollection *pObjectIDs,
                                           LPCWSTR pszDestinationFolderObjectID,
                                           IPortableDevicePropVariantCollection **ppResults) = 0;
};

MIDL_INTERFACE("7f6d695c-03df-4439-a809-59266beee3a6")
IPortableDeviceProperties : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSupportedProperties(LPCWSTR pszObjectID,
                                                             IPortableDeviceKeyCollection **ppKeys) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyAttributes(LPCWSTR pszObjectID, REFPROPERTYKEY Key,
                                                            IPortableDeviceValues **ppAttributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValues(LPCWSTR pszObjectID, IPortableDeviceKeyCollection *pKeys,
                                                IPortableDeviceValues **ppValues) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValues(LPCWSTR pszObjectID, IPortableDeviceValues *pValues,
                                                IPortableDeviceValues **ppResults) = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR pszObjectID, IPortableDeviceKeyCollection *pKeys) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
};

MIDL_INTERFACE("fd8878ac-d841-4d17-891c-e6829cdb6934")
IPortableDeviceResources : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSupportedResources(LPCWSTR pszObjectID,
                                                            IPortableDeviceKeyCollection **ppKeys) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResourceAttributes(LPCWSTR pszObjectID, REFPROPERTYKEY Key,
                                                            IPortableDeviceValues **ppResourceAttributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStream(LPCWSTR pszObjectID, REFPROPERTYKEY Key, const DWORD dwMode,
                                                DWORD *pdwOptimalBufferSize, IStream **ppStream) = 0;
    virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR pszObjectID, IPortableDeviceKeyCollection *pKeys) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateResource(IPortableDeviceValues *pResourceAttributes, IStream **ppData,
                                                     DWORD *pdwOptimalWriteBufferSize, LPWSTR *ppszCookie) = 0;
};

MIDL_INTERFACE("10ece955-cf41-4728-bfa0-41eedf1bbf19")
IEnumPortableDeviceObjectIDs : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cObjects, LPWSTR *pObjIDs, ULONG *pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cObjects) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumPortableDeviceObjectIDs **ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
};

MIDL_INTERFACE("88e04db3-1012-4d64-9996-f703a950d3f4")
IPortableDeviceDataStream : public IStream {
    virtual HRESULT STDMETHODCALLTYPE GetObjectID(LPWSTR *ppszObjectID) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
};

MIDL_INTERFACE("9deacb80-11e8-40e3-a9f3-f557986a7845")
IPortableDevicePropertiesBulkCallback : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE OnStart(REFGUID pContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnProgress(REFGUID pContext, IPortableDeviceValuesCollection *pResults) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnEnd(REFGUID pContext, HRESULT hrStatus) = 0;
};

// Obtained by QueryInterface on IPortableDeviceProperties; a driver without
// bulk reads answers E_NOINTERFACE.
MIDL_INTERFACE("482b05c0-4056-44ed-9e0f-5e23b009da93")
IPortableDevicePropertiesBulk : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueueGetValuesByObjectList(IPortableDevicePropVariantCollection *pObjectIDs,
                                                                 IPortableDeviceKeyCollection *pKeys,
                                                                 IPortableDevicePropertiesBulkCallback *pCallback,
                                                                 GUID *pContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueueGetValuesByObjectFormat(REFGUID pguidObjectFormat,
                                                                   LPCWSTR pszParentObjectID, const DWORD dwDepth,
                                                                   IPortableDeviceKeyCollection *pKeys,
                                                                   IPortableDevicePropertiesBulkCallback *pCallback,
                                                                   GUID *pContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE QueueSetValuesByObjectList(IPortableDeviceValuesCollection *pObjectValues,
                                                                 IPortableDevicePropertiesBulkCallback *pCallback,
                                                                 GUID *pContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE Start(REFGUID pContext) = 0;
    virtual HRESULT STDMETHODCALLTYPE Cancel(REFGUID pContext) = 0;
};

__CRT_UUID_DECL(IPortableDeviceManager, 0xa1567595, 0x4c2f, 0x4574, 0xa6, 0xfa, 0xec, 0xef, 0x91, 0x7b, 0x9a, 0x40)
__CRT_UUID_DECL(IPortableDevice, 0x625e2df8, 0x6392, 0x4cf0, 0x9a, 0xd1, 0x3c, 0xfa, 0x5f, 0x17, 0x77, 0x5c)
__CRT_UUID_DECL(IPortableDeviceContent, 0x6a96ed84, 0x7c73, 0x4480, 0x99, 0x38, 0xbf, 0x5a, 0xf4, 0x77, 0xd4, 0x26)
__CRT_UUID_DECL(IPortableDeviceProperties, 0x7f6d695c, 0x03df, 0x4439, 0xa8, 0x09, 0x59, 0x26, 0x6b, 0xee, 0xe3, 0xa6)
__CRT_UUID_DECL(IPortableDeviceResources, 0xfd8878ac, 0xd841, 0x4d17, 0x89, 0x1c, 0xe6, 0x82, 0x9c, 0xdb, 0x69, 0x34)
__CRT_UUID_DECL(IEnumPortableDeviceObjectIDs, 0x10ece955, 0xcf41, 0x4728, 0xbf, 0xa0, 0x41, 0xee, 0xdf, 0x1b, 0xbf, 0x19)
__CRT_UUID_DECL(IPortableDeviceDataStream, 0x88e04db3, 0x1012, 0x4d64, 0x99, 0x96, 0xf7, 0x03, 0xa9, 0x50, 0xd3, 0xf4)
__CRT_UUID_DECL(IPortableDevicePropertiesBulkCallback, 0x9deacb80, 0x11e8, 0x40e3, 0xa9, 0xf3, 0xf5, 0x57, 0x98, 0x6a,
                0x78, 0x45)
__CRT_UUID_DECL(IPortableDevicePropertiesBulk, 0x482b05c0, 0x4056, 0x44ed, 0x9e, 0x0f, 0x5e, 0x23, 0xb0, 0x09, 0xda, 0x93)

extern "C" {
extern const IID IID_IPortableDeviceManager;
extern const IID IID_IPortableDevice;
extern const IID IID_IPortableDeviceContent;
extern const IID IID_IPortableDeviceProperties;
extern const IID IID_IPortableDeviceResources;
extern const IID IID_IEnumPortableDeviceObjectIDs;
extern const IID IID_IPortableDeviceDataStream;
extern const IID IID_IPortableDevicePropertiesBulk;
extern const IID IID_IPortableDevicePropertiesBulkCallback;

extern const CLSID CLSID_PortableDeviceManager;
extern const CLSID CLSID_PortableDeviceFTM;
extern const CLSID CLSID_PortableDevice;
extern const CLSID CLSID_PortableDeviceKeyCollection;
extern const CLSID CLSID_PortableDevicePropVariantCollection;
extern const CLSID CLSID_PortableDeviceValuesCollection;

extern const PROPERTYKEY WPD_OBJECT_ID;
extern const PROPERTYKEY WPD_OBJECT_PARENT_ID;
extern const PROPERTYKEY WPD_OBJECT_NAME;
extern const PROPERTYKEY WPD_OBJECT_PERSISTENT_UNIQUE_ID;
extern const PROPERTYKEY WPD_OBJECT_FORMAT;
extern const PROPERTYKEY WPD_OBJECT_CONTENT_TYPE;
extern const PROPERTYKEY WPD_OBJECT_ISHIDDEN;
extern const PROPERTYKEY WPD_OBJECT_ISSYSTEM;
extern const PROPERTYKEY WPD_OBJECT_SIZE;
extern const PROPERTYKEY WPD_OBJECT_ORIGINAL_FILE_NAME;
extern const PROPERTYKEY WPD_OBJECT_DATE_CREATED;
extern const PROPERTYKEY WPD_OBJECT_DATE_MODIFIED;
extern const PROPERTYKEY WPD_OBJECT_CAN_DELETE;

extern const PROPERTYKEY WPD_CLIENT_NAME;
extern const PROPERTYKEY WPD_CLIENT_MAJOR_VERSION;
extern const PROPERTYKEY WPD_CLIENT_MINOR_VERSION;
extern const PROPERTYKEY WPD_CLIENT_REVISION;
extern const PROPERTYKEY WPD_CLIENT_SECURITY_QUALITY_OF_SERVICE;
extern const PROPERTYKEY WPD_CLIENT_DESIRED_ACCESS;
extern const PROPERTYKEY WPD_CLIENT_SHARE_MODE;

extern const PROPERTYKEY WPD_RESOURCE_DEFAULT;

extern const PROPERTYKEY WPD_PROPERTY_COMMON_COMMAND_CATEGORY;
extern const PROPERTYKEY WPD_PROPERTY_COMMON_COMMAND_ID;
extern const PROPERTYKEY WPD_PROPERTY_COMMON_HRESULT;
extern const PROPERTYKEY WPD_PROPERTY_COMMON_DRIVER_ERROR_CODE;
extern const PROPERTYKEY WPD_COMMAND_OBJECT_PROPERTIES_SET;
extern const PROPERTYKEY WPD_PROPERTY_OBJECT_PROPERTIES_OBJECT_ID;
extern const PROPERTYKEY WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_KEYS;
extern const PROPERTYKEY WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_VALUES;
extern const PROPERTYKEY WPD_PROPERTY_OBJECT_PROPERTIES_PROPERTY_WRITE_RESULTS;
extern const PROPERTYKEY WPD_FUNCTIONAL_OBJECT_CATEGORY;
// A storage's size, its free space (which a storage may not report) and the
// largest object it takes, in bytes (VT_UI8).
extern const PROPERTYKEY WPD_STORAGE_CAPACITY;
extern const PROPERTYKEY WPD_STORAGE_FREE_SPACE_IN_BYTES;
extern const PROPERTYKEY WPD_STORAGE_MAX_OBJECT_SIZE;
extern const PROPERTYKEY WPD_STORAGE_FILE_SYSTEM_TYPE;
extern const PROPERTYKEY WPD_STORAGE_ACCESS_CAPABILITY;
extern const PROPERTYKEY WPD_DEVICE_FRIENDLY_NAME;

extern const GUID WPD_CONTENT_TYPE_FOLDER;
extern const GUID WPD_CONTENT_TYPE_FUNCTIONAL_OBJECT;
extern const GUID WPD_CONTENT_TYPE_IMAGE;
extern const GUID WPD_CONTENT_TYPE_AUDIO;
extern const GUID WPD_CONTENT_TYPE_VIDEO;
extern const GUID WPD_CONTENT_TYPE_DOCUMENT;
extern const GUID WPD_CONTENT_TYPE_GENERIC_FILE;
extern const GUID WPD_CONTENT_TYPE_ALL;

extern const GUID WPD_OBJECT_FORMAT_UNSPECIFIED;
extern const GUID WPD_OBJECT_FORMAT_PROPERTIES_ONLY;
extern const GUID WPD_OBJECT_FORMAT_WAVE;
extern const GUID WPD_OBJECT_FORMAT_MP3;
extern const GUID WPD_OBJECT_FORMAT_AVI;
extern const GUID WPD_OBJECT_FORMAT_MPEG;
extern const GUID WPD_OBJECT_FORMAT_EXIF;
extern const GUID WPD_OBJECT_FORMAT_GIF;
extern const GUID WPD_OBJECT_FORMAT_OGG;
extern const GUID WPD_OBJECT_FORMAT_WMV;
extern const GUID WPD_OBJECT_FORMAT_MP4;
extern const GUID WPD_OBJECT_FORMAT_3GP;
extern const GUID WPD_OBJECT_FORMAT_M4A;

extern const GUID WPD_FUNCTIONAL_CATEGORY_STORAGE;
}

#define WPD_DEVICE_OBJECT_ID L"DEVICE"

enum DELETE_OBJECT_OPTIONS {
    PORTABLE_DEVICE_DELETE_NO_RECURSION = 0,
    PORTABLE_DEVICE_DELETE_WITH_RECURSION = 1,
};

#define FACILITY_WPD 42
#define E_WPD_DEVICE_ALREADY_OPENED ((HRESULT)0x802A0001L)
#define E_WPD_DEVICE_NOT_OPEN ((HRESULT)0x802A0002L)
#define E_WPD_OBJECT_ALREADY_ATTACHED_TO_DEVICE ((HRESULT)0x802A0003L)
#define E_WPD_OBJECT_NOT_ATTACHED_TO_DEVICE ((HRESULT)0x802A0004L)
#define E_WPD_OBJECT_NOT_COMMITED ((HRESULT)0x802A0005L)
#define E_WPD_DEVICE_IS_HUNG ((HRESULT)0x802A0006L)

#endif  // Windows SDK headers absent
