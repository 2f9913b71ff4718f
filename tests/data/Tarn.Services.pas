{ Tarn.Services: the service layer between the user interface and storage.

  Services are found through a locator and talk to each other through
  interfaces only. The automation bridge exposes a few of them to scripts. }
unit Tarn.Services;

interface

uses
  Winapi.Windows,
  Winapi.Messages,
  System.SysUtils,
  System.Classes,
  Tarn.Collections,
  Tarn.Inventory.Model;

const
  WM_SERVICE_IDLE = WM_USER + 101;
  ServiceTimeout = 30000;

type
  TLogLevel = (llDebug, llInfo, llWarning, llError);
  TLogEvent = procedure(Sender: TObject; Level: TLogLevel; const Text: string) of object;

  ILogger = interface
    ['{B3A1E7C2-4D5F-4A6B-9C8D-0E1F2A3B4C5D}']
    procedure Log(Level: TLogLevel; const Text: string);
    procedure LogFmt(Level: TLogLevel; const Fmt: string; const Args: array of const);
    function GetMinLevel: TLogLevel;
    procedure SetMinLevel(Value: TLogLevel);
    property MinLevel: TLogLevel read GetMinLevel write SetMinLevel;
  end;

  IRepository<T: TEntity> = interface
    ['{0F9E8D7C-6B5A-4938-A716-253443526170}']
    function Get(Id: Int64): T;
    function FindAll: TTarnList<T>;
    procedure Save(const Entity: T);
    procedure Delete(const Entity: T);
  end;

  IInventoryService = interface(IInterface)
    ['{5E6F7081-92A3-4B4C-8D5E-6F708192A3B4}']
    function Receive(const Code: string; Quantity: Integer): Boolean;
    function Issue(const Code: string; Quantity: Integer): Boolean;
    function StockOf(const Code: string): Integer;
  end;

  { The face of the inventory service for scripting hosts. }
  IInventoryDisp = dispinterface
    ['{C1D2E3F4-A5B6-4C7D-8E9F-A0B1C2D3E4F5}']
    property ProductCount: Integer readonly dispid 1;
    property Products[const Code: WideString]: OleVariant readonly dispid 2; default;
    function Receive(const Code: WideString; Quantity: Integer): WordBool; dispid 10;
    function Issue(const Code: WideString; Quantity: Integer): WordBool; dispid 11;
    procedure Refresh; dispid 12;
  end;

  TNativeCallbacks = record
    OnProgress: procedure(Done, Total: Integer); stdcall;
    OnMessage: procedure(const Text: PAnsiChar); cdecl;
    Format: function(const Fmt: PAnsiChar): Integer; cdecl; varargs;
    UserData: Pointer;
  end;

  [Service('logger')]
  TFileLogger = class(TInterfacedObject, ILogger)
  strict private
    FFileName: string;
    FStream: TStream;
    FMinLevel: TLogLevel;
    FOnLog: TLogEvent;
  strict protected
    procedure WriteLine(const Line: string); virtual;
  public
    constructor Create(const AFileName: string);
    destructor Destroy; override;
    procedure Log(Level: TLogLevel; const Text: string);
    procedure LogFmt(Level: TLogLevel; const Fmt: string; const Args: array of const);
    function GetMinLevel: TLogLevel;
    procedure SetMinLevel(Value: TLogLevel);
    property FileName: string read FFileName;
    property OnLog: TLogEvent read FOnLog write FOnLog;
  end;

  TServiceBase = class abstract(TInterfacedObject)
  private
    FLogger: ILogger;
    FName: string;
  protected
    procedure Trace(const Text: string);
  public
    constructor Create(const AName: string; const ALogger: ILogger);
    property Name: string read FName;
    property Logger: ILogger read FLogger implements ILogger;
  end;

  [Service('inventory'), Transactional]
  TInventoryService = class(TServiceBase, IInventoryService, ILogger)
  private
    FInventory: TInventory;
    FWindow: HWND;
    [Inject]
    FProducts: IRepository<TProduct>;
    procedure WMServiceIdle(var Msg: TMessage); message WM_SERVICE_IDLE;
    function GetPart(Index: Integer): string;
    procedure SetPart(Index: Integer; const Value: string);
  public
    constructor Create(AInventory: TInventory; const ALogger: ILogger);
    destructor Destroy; override;
    [Transactional]
    function Receive(const Code: string; Quantity: Integer): Boolean;
    [Transactional]
    function Issue(const Code: string; Quantity: Integer): Boolean;
    function StockOf(const Code: string): Integer;
    property Owner: string index 0 read GetPart write SetPart;
    property Site: string index 1 read GetPart write SetPart;
  end;

  TServiceClass = class of TServiceBase;

  TServiceLocator = class
  private
    class var FServices: TStringList;
    class var FLock: TObject;
    class function GetService(const Name: string): IInterface; static;
  public
    class constructor Create;
    class destructor Destroy;
    class procedure Register(const Name: string; const Service: IInterface);
    class function TryFind<T: IInterface>(const Name: string; out Service: T): Boolean;
    class property Services[const Name: string]: IInterface read GetService; default;
  end;

  { Kept for the old report writer, which still uses objects. }
  TLegacyCounter = object
  private
    FValue: Integer;
  public
    procedure Reset;
    procedure Increment(By: Integer = 1);
    function Value: Integer;
  end;

implementation

uses
  System.SyncObjs;

{ TFileLogger }

constructor TFileLogger.Create(const AFileName: string);
begin
  inherited Create;
  FFileName := AFileName;
  FStream := TFileStream.Create(AFileName, fmCreate or fmShareDenyWrite);
  FMinLevel := llInfo;
end;

destructor TFileLogger.Destroy;
begin
  FStream.Free;
  inherited;
end;

procedure TFileLogger.WriteLine(const Line: string);
var
  Bytes: TBytes;
begin
  Bytes := TEncoding.UTF8.GetBytes(Line + sLineBreak);
  FStream.WriteBuffer(Bytes, Length(Bytes));
end;

procedure TFileLogger.Log(Level: TLogLevel; const Text: string);
const
  Names: array[TLogLevel] of string = ('DEBUG', 'INFO', 'WARN', 'ERROR');
begin
  if Level >= FMinLevel then
  begin
    WriteLine(Format('%s [%s] %s', [DateTimeToStr(Now), Names[Level], Text]));
    if Assigned(FOnLog) then
      FOnLog(Self, Level, Text);
  end;
end;

procedure TFileLogger.LogFmt(Level: TLogLevel; const Fmt: string; const Args: array of const);
begin
  Log(Level, Format(Fmt, Args));
end;

function TFileLogger.GetMinLevel: TLogLevel;
begin
  Result := FMinLevel;
end;

procedure TFileLogger.SetMinLevel(Value: TLogLevel);
begin
  FMinLevel := Value;
end;

{ TServiceBase }

constructor TServiceBase.Create(const AName: string; const ALogger: ILogger);
begin
  inherited Create;
  FName := AName;
  FLogger := ALogger;
end;

procedure TServiceBase.Trace(const Text: string);
begin
  if FLogger <> nil then
    FLogger.Log(llDebug, FName + ': ' + Text);
end;

{ TInventoryService }

constructor TInventoryService.Create(AInventory: TInventory; const ALogger: ILogger);
begin
  inherited Create('inventory', ALogger);
  FInventory := AInventory;
  FWindow := AllocateHWnd(nil);
end;

destructor TInventoryService.Destroy;
begin
  DeallocateHWnd(FWindow);
  inherited Destroy;
end;

procedure TInventoryService.WMServiceIdle(var Msg: TMessage);
begin
  Trace('idle');
  Msg.Result := 0;
end;

function TInventoryService.GetPart(Index: Integer): string;
begin
  case Index of
    0: Result := 'head office';
    1: Result := 'warehouse';
  else
    Result := '';
  end;
end;

procedure TInventoryService.SetPart(Index: Integer; const Value: string);
begin
  Trace(Format('part %d set to %s', [Index, Value]));
end;

function TInventoryService.Receive(const Code: string; Quantity: Integer): Boolean;
begin
  try
    FInventory.Receive(Code, Quantity);
    Result := True;
  except
    on E: Exception do
    begin
      Logger.Log(llError, E.Message);
      Result := False;
    end;
  end;
end;

function TInventoryService.Issue(const Code: string; Quantity: Integer): Boolean;
begin
  try
    FInventory.Issue(Code, Quantity);
    Result := True;
  except
    on E: EInvalidOpException do
      Result := False;
  end;
end;

function TInventoryService.StockOf(const Code: string): Integer;
begin
  Result := FInventory.Products[Code].Stock;
end;

{ TServiceLocator }

class constructor TServiceLocator.Create;
begin
  FServices := TStringList.Create;
  FServices.Sorted := True;
  FLock := TObject.Create;
end;

class destructor TServiceLocator.Destroy;
var
  I: Integer;
begin
  for I := 0 to FServices.Count - 1 do
    IInterface(Pointer(FServices.Objects[I]))._Release;
  FServices.Free;
  FLock.Free;
end;

class procedure TServiceLocator.Register(const Name: string; const Service: IInterface);
begin
  TMonitor.Enter(FLock);
  try
    Service._AddRef;
    FServices.AddObject(Name, TObject(Pointer(Service)));
  finally
    TMonitor.Exit(FLock);
  end;
end;

class function TServiceLocator.GetService(const Name: string): IInterface;
var
  Index: Integer;
begin
  TMonitor.Enter(FLock);
  try
    if FServices.Find(Name, Index) then
      Result := IInterface(Pointer(FServices.Objects[Index]))
    else
      Result := nil;
  finally
    TMonitor.Exit(FLock);
  end;
end;

class function TServiceLocator.TryFind<T>(const Name: string; out Service: T): Boolean;
var
  Found: IInterface;
begin
  Found := GetService(Name);
  Result := (Found <> nil) and Supports(Found, GetTypeData(TypeInfo(T))^.Guid, Service);
end;

{ TLegacyCounter }

procedure TLegacyCounter.Reset;
begin
  FValue := 0;
end;

procedure TLegacyCounter.Increment(By: Integer);
begin
  Inc(FValue, By);
end;

function TLegacyCounter.Value: Integer;
begin
  Result := FValue;
end;

end.
